// One HTTP request against one base URL, read to the end, and what its
// status means as a result code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/base_url.h"
#include "transport/header_fields.h"

namespace movu {

// One host whose connections go to a fixed address; Host, SNI and the
// certificate still name the host. An empty host pins nothing.
struct HostPin {
    std::string_view host;     // matched whole, ASCII letters folded
    std::string_view address;  // an IP literal
};

// Returns 0 when any response arrived (body and status filled), else a
// transport code (-10 to -15) with an error envelope in responseBody (empty
// for -10, a base URL that did not crack, and -11).
std::int32_t HttpExchange(const BaseUrl& baseUrl, const HostPin& pin, std::string_view method, std::string_view target,
                          const HeaderFields& headers, std::string_view body, std::string& responseBody,
                          std::uint32_t& httpStatus);

// A failed status as a result code: -401, -429, -500 for 500 and above,
// minus the status for any other.
std::int32_t FailedStatusCode(std::uint32_t status);
// 0 for 2xx, else FailedStatusCode.
std::int32_t MapHttpStatus(std::uint32_t status);

}  // namespace movu
