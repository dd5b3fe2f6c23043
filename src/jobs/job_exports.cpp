// Background job exports: the general signed start, the ten request starts,
// poll and cancel. 8-bit (A) starts take UTF-8 texts; W starts take UTF-16.
// Each reads its arguments into one request and hands it to StartJob.
#include <string>

#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "jobs/job_table.h"
#include "requests/endpoints.h"

using namespace movu;

namespace {

std::string Text(const movu_char16* text) { return TrimmedText(text).value_or(std::string()); }

Request Get(Identity identity, const char* path, QueryParams query = {}) {
    Request request;
    request.identity = std::move(identity);
    request.method = "GET";
    request.path = path;
    request.query = std::move(query);
    return request;
}

// The 8-bit date goes as given; the UTF-16 one trimmed.
QueryParams DateQuery(const char* date) {
    if (date == nullptr || *date == 0) return {};
    return {{"date", date}};
}

QueryParams DateQuery(const movu_char16* date) {
    std::string trimmed = Text(date);
    if (trimmed.empty()) return {};
    return {{"date", std::move(trimmed)}};
}

// The 8-bit request starts: an account is required.
std::int32_t StartA(Identity identity, const char* path, QueryParams query, std::int32_t* outJobId) {
    if (outJobId == nullptr) return kArgumentMissing;
    *outJobId = 0;
    if (!identity.account) return kNoAccount;
    return StartJob(Get(std::move(identity), path, std::move(query)), *outJobId);
}

// The UTF-16 starts take a missing text as empty; a missing account shows
// when the job runs.
std::int32_t StartW(Request request, std::int32_t* outJobId) {
    if (outJobId == nullptr) return kArgumentMissing;
    *outJobId = 0;
    if (request.path.empty() || request.method.empty()) return kArgumentEmpty;
    return StartJob(std::move(request), *outJobId);
}

}  // namespace

std::int32_t movu::StartAsyncJob(const char* account, const char* platform, const char* broker, const char* server,
                                 const char* clientVersion, const char* path, const char* query, const char* method,
                                 const char* body, std::int32_t* outJobId) {
    if (outJobId == nullptr) return kArgumentMissing;
    *outJobId = 0;
    if (account == nullptr || path == nullptr || method == nullptr) return kNoAccount;
    Request request;
    request.identity = ReadIdentity(account, platform, broker, server, clientVersion);
    request.path = ValidUtf8(path);
    request.method = ValidUtf8(method);
    if (request.path.empty() || request.method.empty()) return kArgumentEmpty;
    request.query = ParseQueryText(NarrowArg(query));
    request.body = NarrowArg(body);
    return StartJob(std::move(request), *outJobId);
}

#define MOVU_IDENTITY_A \
    const char *account, const char *platform, const char *broker, const char *server, const char *clientVersion
#define MOVU_IDENTITY_W                                                                                            \
    const movu_char16 *account, const movu_char16 *platform, const movu_char16 *broker, const movu_char16 *server, \
        const movu_char16 *clientVersion
#define MOVU_IDENTITY ReadIdentity(account, platform, broker, server, clientVersion)

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedA(MOVU_IDENTITY_A, const char* path, const char* query,
                                                        const char* method, const char* body, std::int32_t* outJobId) {
    return Guard([&] {
        return StartAsyncJob(account, platform, broker, server, clientVersion, path, query, method, body, outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedW(MOVU_IDENTITY_W, const movu_char16* path,
                                                        const movu_char16* query, const movu_char16* method,
                                                        const movu_char16* body, std::int32_t* outJobId) {
    return Guard([&] {
        Request request;
        request.identity = MOVU_IDENTITY;
        request.path = Text(path);
        request.query = ParseQueryText(Text(query));
        request.method = Text(method);
        request.body = Utf16ToUtf8(WideArg(body));  // the body keeps its white space
        return StartW(std::move(request), outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayA(MOVU_IDENTITY_A, const char* date, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, kCalendarDayPath, DateQuery(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayW(MOVU_IDENTITY_W, const movu_char16* date,
                                                          std::int32_t* outJobId) {
    return Guard([&] { return StartW(Get(MOVU_IDENTITY, kCalendarDayPath, DateQuery(date)), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaA(MOVU_IDENTITY_A, const char* date, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, kCalendarMetaPath, DateQuery(date), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaW(MOVU_IDENTITY_W, const movu_char16* date,
                                                           std::int32_t* outJobId) {
    return Guard([&] { return StartW(Get(MOVU_IDENTITY, kCalendarMetaPath, DateQuery(date)), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, kPingPath, {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartW(Get(MOVU_IDENTITY, kPingPath), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, kRegisterPath, {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartW(Get(MOVU_IDENTITY, kRegisterPath), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusA(MOVU_IDENTITY_A, std::int32_t* outJobId) {
    return Guard([&] { return StartA(MOVU_IDENTITY, kVipStatusPath, {}, outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusW(MOVU_IDENTITY_W, std::int32_t* outJobId) {
    return Guard([&] { return StartW(Get(MOVU_IDENTITY, kVipStatusPath), outJobId); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_PollA(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp,
                                              char* out, std::int32_t capacity) {
    return Guard([&] { return PollJob(jobId, outState, outHttp, out, capacity); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Cancel(std::int32_t jobId) {
    return Guard([&] { return CancelJob(jobId); });
}

}  // extern "C"
