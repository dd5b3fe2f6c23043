// One HTTP request against one base URL, read to the end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace movu {

enum ExchangeResult : std::int32_t {
    kExchangeOk = 0,
    kExchangeBadBaseUrl = -10,
    kExchangeNoSession = -11,
    kExchangeConnectFailed = -12,
    kExchangeOpenRequestFailed = -13,
    kExchangeSendFailed = -14,
    kExchangeReceiveFailed = -15,
};

// Returns 0 when any response arrived (body and status filled), else a code
// above with an error envelope in responseBody (empty for -10 and -11).
std::int32_t HttpExchange(std::u16string_view baseUrl, std::u16string_view target, std::u16string_view verb,
                          const std::vector<std::u16string>& headerLines, std::string_view body,
                          std::string& responseBody, std::uint32_t& httpStatus);

}  // namespace movu
