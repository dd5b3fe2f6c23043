// Every service call but the token request: token and identity attached, one
// renewal after 401, the status mapped to a result code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "movu_mt5.h"
#include "transport/query_params.h"

namespace movu {

// The caller's five identity texts as handed in; a null pointer is absent,
// which is not the same as present and empty.
struct RequestIdentity {
    const movu_char16* account = nullptr;
    const movu_char16* platform = nullptr;
    const movu_char16* broker = nullptr;
    const movu_char16* server = nullptr;
    const movu_char16* clientVersion = nullptr;
};

constexpr std::int32_t kEmptyToken = -70;

std::int32_t MapHttpStatus(std::uint32_t status);
std::u16string AppendQuery(std::u16string_view path, const QueryParams& query);

// Sends to the current base URL only.
std::int32_t ExecuteSignedRequest(const RequestIdentity& identity, std::u16string_view path,
                                  const QueryParams& query, std::u16string_view verb, std::string_view body,
                                  std::string& resultText);

// Sends to the given base URL and hands back the status and any envelope.
std::int32_t ExecuteSignedRequestAt(std::u16string_view baseUrl, const RequestIdentity& identity,
                                    std::u16string_view path, const QueryParams& query, std::u16string_view verb,
                                    std::string_view body, std::string& resultText, std::uint32_t& httpStatus);

}  // namespace movu
