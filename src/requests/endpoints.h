// The synchronous endpoints: build the request, run it, copy the answer into
// the caller's buffer whatever the result code.
#pragma once

#include <cstdint>

#include "movu_mt5.h"
#include "requests/signed_request.h"

namespace movu {

// A caller's result buffer: UTF-16 or 8-bit, with its capacity.
struct ResultBuffer {
    movu_char16* wide = nullptr;
    char* narrow = nullptr;
    std::int32_t capacity = 0;
};

enum class CalendarKind { Day, Meta, Changes };

std::int32_t CalendarRequest(CalendarKind kind, const RequestIdentity& identity, const movu_char16* date,
                             std::int64_t since, ResultBuffer out);
std::int32_t HeartbeatRequest(const RequestIdentity& identity, const movu_char16* payload, ResultBuffer out);
std::int32_t VipStatusRequest(const RequestIdentity& identity, ResultBuffer out);

}  // namespace movu
