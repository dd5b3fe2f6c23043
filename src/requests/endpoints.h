// The service's endpoints, each path written once (the token's lives with
// the token), and the one builder of a GET to them.
#pragma once

#include <string_view>

#include "transport/request.h"

namespace movu {

inline constexpr char kCalendarDayPath[] = "/v1/calendar/day.php";
inline constexpr char kCalendarMetaPath[] = "/v1/calendar/meta.php";
inline constexpr char kCalendarChangesPath[] = "/v1/calendar/changes.php";
inline constexpr char kHeartbeatPath[] = "/v1/client/heartbeat.php";
inline constexpr char kVipStatusPath[] = "/v1/client/vip_status.php";
inline constexpr char kPingPath[] = "/v1/client/ping.php";
inline constexpr char kRegisterPath[] = "/v1/client/register.php";

// A GET of path, with the query "date" when date is not empty.
Request DatedGet(Identity identity, const char* path, std::string_view date = {});

}  // namespace movu
