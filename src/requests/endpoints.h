// The service's endpoints, each path written once, and the synchronous
// requests: run one, copy the answer into the caller's buffer whatever the
// result code.
#pragma once

#include <cstdint>

#include "movu_mt5.h"
#include "requests/request.h"

namespace movu {

inline constexpr char kTokenPath[] = "/v1/client/token.php";
inline constexpr char kCalendarDayPath[] = "/v1/calendar/day.php";
inline constexpr char kCalendarMetaPath[] = "/v1/calendar/meta.php";
inline constexpr char kCalendarChangesPath[] = "/v1/calendar/changes.php";
inline constexpr char kHeartbeatPath[] = "/v1/client/heartbeat.php";
inline constexpr char kVipStatusPath[] = "/v1/client/vip_status.php";
inline constexpr char kPingPath[] = "/v1/client/ping.php";
inline constexpr char kRegisterPath[] = "/v1/client/register.php";

// A caller's result buffer: UTF-16 or 8-bit, with its capacity.
struct ResultBuffer {
    movu_char16* wide = nullptr;
    char* narrow = nullptr;
    std::int32_t capacity = 0;
};

// A GET of path with the query "date" when date holds text.
Request DateRequest(Identity identity, const char* path, const std::optional<std::string>& date);

// Sends to the current base URL and copies the text into out.
std::int32_t RequestAndCopy(const Request& request, ResultBuffer out);

}  // namespace movu
