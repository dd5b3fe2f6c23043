// Every service call but the token request: token and identity attached, one
// renewal after 401, the status mapped to a result code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/base_url.h"
#include "transport/request.h"

namespace movu {

// Sends to the current base URL only. A transport failure leaves resultText
// as it was; a failed token request puts its answer or an envelope there.
std::int32_t ExecuteSignedRequest(const Request& request, std::string& resultText);

// Sends to the given base URL and hands back the status and any envelope.
// A job's request always carries an account (empty when none was given), so
// an absent one is left to token acquisition.
std::int32_t ExecuteSignedRequestAt(const BaseUrl& baseUrl, const Request& request, std::string& resultText,
                                    std::uint32_t& httpStatus);

}  // namespace movu
