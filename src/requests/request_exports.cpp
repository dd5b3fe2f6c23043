// The ten synchronous exports: calendar day, metadata and changes, heartbeat
// and VIP status, each with a UTF-16 and an 8-bit (A) result buffer. Their
// inputs are UTF-16 in both forms.
#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "requests/endpoints.h"
#include "requests/signed_request.h"

using namespace movu;

namespace {

// A caller's result buffer: UTF-16 or 8-bit, with its capacity.
struct ResultBuffer {
    movu_char16* wide = nullptr;
    char* narrow = nullptr;
    std::int32_t capacity = 0;
};

ResultBuffer Wide(movu_char16* out, std::int32_t capacity) { return {out, nullptr, capacity}; }
ResultBuffer Narrow(char* out, std::int32_t capacity) { return {nullptr, out, capacity}; }

// Sends to the current base URL and copies the text into out, whatever the
// result code.
std::int32_t RequestAndCopy(const Request& request, ResultBuffer out) {
    std::string text;
    const std::int32_t rc = ExecuteSignedRequest(request, text);
    if (out.wide != nullptr)
        ResultCopyW(text, out.wide, out.capacity);
    else
        ResultCopyA(text, out.narrow, out.capacity);
    return rc;
}

std::string Date(const movu_char16* date) { return TrimmedText(date).value_or(std::string()); }

Request Changes(Identity identity, const movu_char16* date, std::int64_t since) {
    Request request = DatedGet(std::move(identity), kCalendarChangesPath, Date(date));
    if (since > 0) request.query.emplace_back("since", std::to_string(since));
    return request;
}

// The body is the trimmed payload, "{}" when there is none.
Request Heartbeat(Identity identity, const movu_char16* payload) {
    Request request;
    request.identity = std::move(identity);
    request.method = "POST";
    request.path = kHeartbeatPath;
    const std::optional<std::string> text = TrimmedText(payload);
    request.body = text && !text->empty() ? *text : "{}";
    return request;
}

}  // namespace

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDay(const movu_char16* account, const movu_char16* platform,
                                                    const movu_char16* broker, const movu_char16* server,
                                                    const movu_char16* clientVersion, const movu_char16* date,
                                                    movu_char16* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kCalendarDayPath, Date(date)), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDayA(const movu_char16* account, const movu_char16* platform,
                                                     const movu_char16* broker, const movu_char16* server,
                                                     const movu_char16* clientVersion, const movu_char16* date,
                                                     char* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kCalendarDayPath, Date(date)), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMeta(const movu_char16* account, const movu_char16* platform,
                                                     const movu_char16* broker, const movu_char16* server,
                                                     const movu_char16* clientVersion, const movu_char16* date,
                                                     movu_char16* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kCalendarMetaPath, Date(date)), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMetaA(const movu_char16* account, const movu_char16* platform,
                                                      const movu_char16* broker, const movu_char16* server,
                                                      const movu_char16* clientVersion, const movu_char16* date,
                                                      char* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kCalendarMetaPath, Date(date)), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChanges(const movu_char16* account, const movu_char16* platform,
                                                        const movu_char16* broker, const movu_char16* server,
                                                        const movu_char16* clientVersion, const movu_char16* date,
                                                        std::int64_t since, movu_char16* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(Changes(identity, date, since), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChangesA(const movu_char16* account, const movu_char16* platform,
                                                         const movu_char16* broker, const movu_char16* server,
                                                         const movu_char16* clientVersion, const movu_char16* date,
                                                         std::int64_t since, char* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(Changes(identity, date, since), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Heartbeat(const movu_char16* account, const movu_char16* platform,
                                                  const movu_char16* broker, const movu_char16* server,
                                                  const movu_char16* clientVersion, const movu_char16* payload,
                                                  movu_char16* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(Heartbeat(identity, payload), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_HeartbeatA(const movu_char16* account, const movu_char16* platform,
                                                   const movu_char16* broker, const movu_char16* server,
                                                   const movu_char16* clientVersion, const movu_char16* payload,
                                                   char* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(Heartbeat(identity, payload), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatus(const movu_char16* account, const movu_char16* platform,
                                                  const movu_char16* broker, const movu_char16* server,
                                                  const movu_char16* clientVersion, movu_char16* out,
                                                  std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kVipStatusPath), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatusA(const movu_char16* account, const movu_char16* platform,
                                                   const movu_char16* broker, const movu_char16* server,
                                                   const movu_char16* clientVersion, char* out, std::int32_t capacity) {
    return Guard([&] {
        const Identity identity = ReadIdentity(account, platform, broker, server, clientVersion);
        return RequestAndCopy(DatedGet(identity, kVipStatusPath), Narrow(out, capacity));
    });
}

}  // extern "C"
