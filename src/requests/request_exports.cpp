// The ten synchronous exports: calendar day, metadata and changes, heartbeat
// and VIP status, each with a UTF-16 and an 8-bit (A) result buffer. Their
// inputs are UTF-16 in both forms.
#include "api/boundary.h"
#include "api/export.h"
#include "requests/endpoints.h"

using namespace movu;

namespace {

ResultBuffer Wide(movu_char16* out, std::int32_t capacity) { return {out, nullptr, capacity}; }
ResultBuffer Narrow(char* out, std::int32_t capacity) { return {nullptr, out, capacity}; }

}  // namespace

#define MOVU_IDENTITY_PARAMS                                                                         \
    const movu_char16 *account, const movu_char16 *platform, const movu_char16 *broker,           \
        const movu_char16 *server, const movu_char16 *clientVersion
#define MOVU_IDENTITY RequestIdentity{account, platform, broker, server, clientVersion}

extern "C" {

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDay(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                    movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return CalendarRequest(CalendarKind::Day, MOVU_IDENTITY, date, 0, Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarDayA(MOVU_IDENTITY_PARAMS, const movu_char16* date, char* out,
                                                     std::int32_t capacity) {
    return Guard([&] { return CalendarRequest(CalendarKind::Day, MOVU_IDENTITY, date, 0, Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMeta(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                     movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return CalendarRequest(CalendarKind::Meta, MOVU_IDENTITY, date, 0, Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarMetaA(MOVU_IDENTITY_PARAMS, const movu_char16* date, char* out,
                                                      std::int32_t capacity) {
    return Guard(
        [&] { return CalendarRequest(CalendarKind::Meta, MOVU_IDENTITY, date, 0, Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChanges(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                        std::int64_t since, movu_char16* out,
                                                        std::int32_t capacity) {
    return Guard(
        [&] { return CalendarRequest(CalendarKind::Changes, MOVU_IDENTITY, date, since, Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_CalendarChangesA(MOVU_IDENTITY_PARAMS, const movu_char16* date,
                                                         std::int64_t since, char* out, std::int32_t capacity) {
    return Guard(
        [&] { return CalendarRequest(CalendarKind::Changes, MOVU_IDENTITY, date, since, Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_Heartbeat(MOVU_IDENTITY_PARAMS, const movu_char16* payload,
                                                  movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return HeartbeatRequest(MOVU_IDENTITY, payload, Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_HeartbeatA(MOVU_IDENTITY_PARAMS, const movu_char16* payload, char* out,
                                                   std::int32_t capacity) {
    return Guard([&] { return HeartbeatRequest(MOVU_IDENTITY, payload, Narrow(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatus(MOVU_IDENTITY_PARAMS, movu_char16* out, std::int32_t capacity) {
    return Guard([&] { return VipStatusRequest(MOVU_IDENTITY, Wide(out, capacity)); });
}

MOVU_EXPORT std::int32_t MOVU_CALL Movu_VipStatusA(MOVU_IDENTITY_PARAMS, char* out, std::int32_t capacity) {
    return Guard([&] { return VipStatusRequest(MOVU_IDENTITY, Narrow(out, capacity)); });
}

}  // extern "C"
