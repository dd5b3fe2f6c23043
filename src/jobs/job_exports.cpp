// Background job exports: the general signed start, the ten request starts,
// poll and cancel. 8-bit (A) starts take UTF-8 texts; W starts take UTF-16.
#include <string>

#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "jobs/job_table.h"
#include "transport/query_params.h"

using namespace movu;

namespace {

std::string TrimmedUtf8(const movu_char16* text) { return Utf16ToUtf8(TrimSpace(WideArg(text))); }

// The common front of the UTF-16 start exports.
std::int32_t StartCommonW(const movu_char16* account, const movu_char16* platform, const movu_char16* broker,
                          const movu_char16* server, const movu_char16* clientVersion, const char16_t* path,
                          const std::string& query, std::int32_t* outJobId) {
    if (outJobId == nullptr) return -1;
    const std::string id[5] = {TrimmedUtf8(account), TrimmedUtf8(platform), TrimmedUtf8(broker),
                               TrimmedUtf8(server), TrimmedUtf8(clientVersion)};
    const std::string path8 = Utf16ToUtf8(TrimSpace(path));
    return StartAsyncJob(id[0].c_str(), id[1].c_str(), id[2].c_str(), id[3].c_str(), id[4].c_str(), path8.c_str(),
                         query.c_str(), "GET", "", outJobId);
}

std::string DateQueryA(const char* date) {
    if (date == nullptr || *date == 0) return {};
    return BuildQueryText({{"date", date}});
}

std::string DateQueryW(const movu_char16* date) {
    std::string trimmed = TrimmedUtf8(date);
    if (trimmed.empty()) return {};
    return BuildQueryText({{"date", trimmed}});
}

std::int32_t StartA(const char* account, const char* platform, const char* broker, const char* server,
                    const char* clientVersion, const char* path, const std::string& query, std::int32_t* out) {
    return StartAsyncJob(account, platform, broker, server, clientVersion, path, query.c_str(), "GET", "", out);
}

}  // namespace

#define MOVU_IDENTITY_A const char *account, const char *platform, const char *broker, const char *server, \
                        const char *clientVersion
#define MOVU_IDENTITY_W const movu_char16 *account, const movu_char16 *platform, const movu_char16 *broker, \
                        const movu_char16 *server, const movu_char16 *clientVersion
#define MOVU_IDENTITY account, platform, broker, server, clientVersion

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedA(MOVU_IDENTITY_A, const char* path, const char* query,
                                                        const char* method, const char* body,
                                                        std::int32_t* outJobId) {
    return Guard([&] { return StartAsyncJob(MOVU_IDENTITY, path, query, method, body, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedW(MOVU_IDENTITY_W, const movu_char16* path,
                                                        const movu_char16* query, const movu_char16* method,
                                                        const movu_char16* body, std::int32_t* outJobId) {
    return Guard([&] {
        const std::string t[8] = {TrimmedUtf8(account), TrimmedUtf8(platform), TrimmedUtf8(broker),
                                  TrimmedUtf8(server),  TrimmedUtf8(clientVersion), TrimmedUtf8(path),
                                  TrimmedUtf8(query),   TrimmedUtf8(method)};
        const std::string body8 = Utf16ToUtf8(WideArg(body));  // the body keeps its white space
        return StartAsyncJob(t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(), t[4].c_str(), t[5].c_str(),
                             t[6].c_str(), t[7].c_str(), body8.c_str(), outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayA(MOVU_IDENTITY_A, const char* date, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, "/v1/calendar/day.php", DateQueryA(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayW(MOVU_IDENTITY_W, const movu_char16* date,
                                                          std::int32_t* outJobId) {
    return Guard([&] { return StartCommonW(MOVU_IDENTITY, u"/v1/calendar/day.php", DateQueryW(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaA(MOVU_IDENTITY_A, const char* date,
                                                           std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, "/v1/calendar/meta.php", DateQueryA(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaW(MOVU_IDENTITY_W, const movu_char16* date,
                                                           std::int32_t* outJobId) {
    return Guard(
        [&] { return StartCommonW(MOVU_IDENTITY, u"/v1/calendar/meta.php", DateQueryW(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, "/v1/client/ping.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartCommonW(MOVU_IDENTITY, u"/v1/client/ping.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, "/v1/client/register.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartCommonW(MOVU_IDENTITY, u"/v1/client/register.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, "/v1/client/vip_status.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartCommonW(MOVU_IDENTITY, u"/v1/client/vip_status.php", {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_PollA(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp,
                                              char* out, std::int32_t capacity) {
    return Guard([&] { return PollJob(jobId, outState, outHttp, out, capacity); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Cancel(std::int32_t jobId) {
    return Guard([&] { return CancelJob(jobId); });
}

}  // extern "C"
