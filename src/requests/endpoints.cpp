#include "requests/endpoints.h"

#include <string>

#include "api/text.h"

namespace movu {

namespace {

void CopyOut(const std::string& text, const ResultBuffer& out) {
    if (out.wide != nullptr) ResultCopyW(text, out.wide, out.capacity);
    else ResultCopyA(text, out.narrow, out.capacity);
}

}  // namespace

std::int32_t CalendarRequest(CalendarKind kind, const RequestIdentity& identity, const movu_char16* date,
                             std::int64_t since, ResultBuffer out) {
    QueryParams query;
    if (date != nullptr) {
        std::u16string trimmed = TrimSpace(WideArg(date));
        if (!trimmed.empty()) query.emplace_back("date", Utf16ToUtf8(trimmed));
    }
    if (kind == CalendarKind::Changes && since > 0) query.emplace_back("since", std::to_string(since));
    const char16_t* path = kind == CalendarKind::Day    ? u"/v1/calendar/day.php"
                           : kind == CalendarKind::Meta ? u"/v1/calendar/meta.php"
                                                        : u"/v1/calendar/changes.php";
    std::string text;
    std::int32_t rc = ExecuteSignedRequest(identity, path, query, u"GET", {}, text);
    CopyOut(text, out);
    return rc;
}

std::int32_t HeartbeatRequest(const RequestIdentity& identity, const movu_char16* payload, ResultBuffer out) {
    std::string body = "{}";
    if (payload != nullptr) {
        std::u16string trimmed = TrimSpace(WideArg(payload));
        if (!trimmed.empty()) body = Utf16ToUtf8(trimmed);
    }
    std::string text;
    std::int32_t rc = ExecuteSignedRequest(identity, u"/v1/client/heartbeat.php", {}, u"POST", body, text);
    CopyOut(text, out);
    return rc;
}

std::int32_t VipStatusRequest(const RequestIdentity& identity, ResultBuffer out) {
    std::string text;
    std::int32_t rc = ExecuteSignedRequest(identity, u"/v1/client/vip_status.php", {}, u"GET", {}, text);
    CopyOut(text, out);
    return rc;
}

}  // namespace movu
