// One HTTP request against one base URL, read to the end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/header_fields.h"

namespace movu {

// Returns 0 when any response arrived (body and status filled), else a
// transport code (-10 to -15) with an error envelope in responseBody (empty
// for -10 and -11).
std::int32_t HttpExchange(std::string_view baseUrl, std::string_view method, std::string_view target,
                          const HeaderFields& headers, std::string_view body, std::string& responseBody,
                          std::uint32_t& httpStatus);

}  // namespace movu
