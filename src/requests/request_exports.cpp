// The ten synchronous exports: calendar day, metadata and changes, heartbeat
// and VIP status, each with a UTF-16 and an 8-bit (A) result buffer. Their
// inputs are UTF-16 in both forms.
#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "requests/endpoints.h"

using namespace movu;

namespace {

ResultBuffer Wide(movu_char16* out, std::int32_t capacity) { return {out, nullptr, capacity}; }
ResultBuffer Narrow(char* out, std::int32_t capacity) { return {nullptr, out, capacity}; }

Request Changes(Identity identity, const movu_char16* date, std::int64_t since) {
    Request request = DateRequest(std::move(identity), kCalendarChangesPath, TrimmedText(date));
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

Request VipStatus(Identity identity) { return DateRequest(std::move(identity), kVipStatusPath, std::nullopt); }

}  // namespace

#define MOVU_IDENTITY_PARAMS                                                                                       \
    const movu_char16 *account, const movu_char16 *platform, const movu_char16 *broker, const movu_char16 *server, \
        const movu_char16 *clientVersion
#define MOVU_IDENTITY ReadIdentity(account, platform, broker, server, clientVersion)

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDay(MOVU_IDENTITY_PARAMS, const movu_char16* date, movu_char16* out,
                                                    std::int32_t capacity) {
    return Guard([&] {
        return RequestAndCopy(DateRequest(MOVU_IDENTITY, kCalendarDayPath, TrimmedText(date)), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDayA(MOVU_IDENTITY_PARAMS, const movu_char16* date, char* out,
                                                     std::int32_t capacity) {
    return Guard([&] {
        return RequestAndCopy(DateRequest(MOVU_IDENTITY, kCalendarDayPath, TrimmedText(date)), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMeta(MOVU_IDENTITY_PARAMS, const movu_char16* date, movu_char16* out,
                                                     std::int32_t capacity) {
    return Guard([&] {
        return RequestAndCopy(DateRequest(MOVU_IDENTITY, kCalendarMetaPath, TrimmedText(date)), Wide(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMetaA(MOVU_IDENTITY_PARAMS, const movu_char16* date, char* out,
                                                      std::int32_t capacity) {
    return Guard([&] {
        return RequestAndCopy(DateRequest(MOVU_IDENTITY, kCalendarMetaPath, TrimmedText(date)), Narrow(out, capacity));
    });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChanges(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                        std::int64_t since, movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(Changes(MOVU_IDENTITY, date, since), Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChangesA(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                         std::int64_t since, char* out, std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(Changes(MOVU_IDENTITY, date, since), Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Heartbeat(MOVU_IDENTITY_PARAMS, const movu_char16* payload, movu_char16* out,
                                                  std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(Heartbeat(MOVU_IDENTITY, payload), Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_HeartbeatA(MOVU_IDENTITY_PARAMS, const movu_char16* payload, char* out,
                                                   std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(Heartbeat(MOVU_IDENTITY, payload), Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatus(MOVU_IDENTITY_PARAMS, movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(VipStatus(MOVU_IDENTITY), Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatusA(MOVU_IDENTITY_PARAMS, char* out, std::int32_t capacity) {
    return Guard([&] { return RequestAndCopy(VipStatus(MOVU_IDENTITY), Narrow(out, capacity)); });
}

}  // extern "C"
