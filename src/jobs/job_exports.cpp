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

// The 8-bit request starts: an account is required. Their date goes as
// given; the UTF-16 starts' date is trimmed.
std::int32_t StartA(Request request, std::int32_t* outJobId) {
    if (outJobId == nullptr) return kArgumentMissing;
    *outJobId = 0;
    if (!request.identity.account) return kNoAccount;
    return StartJob(std::move(request), *outJobId);
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

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedA(const char* account, const char* platform, const char* broker,
                                                        const char* server, const char* clientVersion, const char* path,
                                                        const char* query, const char* method, const char* body,
                                                        std::int32_t* outJobId) {
    return Guard([&] {
        return StartAsyncJob(account, platform, broker, server, clientVersion, path, query, method, body, outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_GetAsyncSignedW(const movu_char16* account, const movu_char16* platform,
                                                        const movu_char16* broker, const movu_char16* server,
                                                        const movu_char16* clientVersion, const movu_char16* path,
                                                        const movu_char16* query, const movu_char16* method,
                                                        const movu_char16* body, std::int32_t* outJobId) {
    return Guard([&] {
        Request request;
        request.identity = ReadIdentity(account, platform, broker, server, clientVersion);
        request.path = Text(path);
        request.query = ParseQueryText(Text(query));
        request.method = Text(method);
        request.body = Utf16ToUtf8(WideArg(body));  // the body keeps its white space
        return StartW(std::move(request), outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayA(const char* account, const char* platform, const char* broker,
                                                          const char* server, const char* clientVersion,
                                                          const char* date, std::int32_t* outJobId) {
    return Guard([&] {
        return StartA(
            DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kCalendarDayPath, NarrowArg(date)),
            outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarDayW(const movu_char16* account, const movu_char16* platform,
                                                          const movu_char16* broker, const movu_char16* server,
                                                          const movu_char16* clientVersion, const movu_char16* date,
                                                          std::int32_t* outJobId) {
    return Guard([&] {
        return StartW(
            DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kCalendarDayPath, Text(date)),
            outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaA(const char* account, const char* platform,
                                                           const char* broker, const char* server,
                                                           const char* clientVersion, const char* date,
                                                           std::int32_t* outJobId) {
    return Guard([&] {
        return StartA(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kCalendarMetaPath,
                               NarrowArg(date)),
                      outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartCalendarMetaW(const movu_char16* account, const movu_char16* platform,
                                                           const movu_char16* broker, const movu_char16* server,
                                                           const movu_char16* clientVersion, const movu_char16* date,
                                                           std::int32_t* outJobId) {
    return Guard([&] {
        return StartW(
            DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kCalendarMetaPath, Text(date)),
            outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingA(const char* account, const char* platform, const char* broker,
                                                   const char* server, const char* clientVersion,
                                                   std::int32_t* outJobId) {
    return Guard([&] {
        return StartA(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kPingPath), outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartPingW(const movu_char16* account, const movu_char16* platform,
                                                   const movu_char16* broker, const movu_char16* server,
                                                   const movu_char16* clientVersion, std::int32_t* outJobId) {
    return Guard([&] {
        return StartW(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kPingPath), outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterA(const char* account, const char* platform, const char* broker,
                                                       const char* server, const char* clientVersion,
                                                       std::int32_t* outJobId) {
    return Guard([&] {
        return StartA(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kRegisterPath),
                      outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartRegisterW(const movu_char16* account, const movu_char16* platform,
                                                       const movu_char16* broker, const movu_char16* server,
                                                       const movu_char16* clientVersion, std::int32_t* outJobId) {
    return Guard([&] {
        return StartW(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kRegisterPath),
                      outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusA(const char* account, const char* platform, const char* broker,
                                                        const char* server, const char* clientVersion,
                                                        std::int32_t* outJobId) {
    return Guard([&] {
        return StartA(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kVipStatusPath),
                      outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_StartVipStatusW(const movu_char16* account, const movu_char16* platform,
                                                        const movu_char16* broker, const movu_char16* server,
                                                        const movu_char16* clientVersion, std::int32_t* outJobId) {
    return Guard([&] {
        return StartW(DatedGet(ReadIdentity(account, platform, broker, server, clientVersion), kVipStatusPath),
                      outJobId);
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_PollA(std::int32_t jobId, std::int32_t* outState, std::int32_t* outHttp,
                                              char* out, std::int32_t capacity) {
    return Guard([&] { return PollJob(jobId, outState, outHttp, out, capacity); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Cancel(std::int32_t jobId) {
    return Guard([&] { return CancelJob(jobId); });
}

}  // extern "C"
