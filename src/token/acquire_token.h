// Bearer token for an account: from memory, from the cache file, or from the
// token endpoint across the base URL list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/http_exchange.h"
#include "transport/request.h"

namespace movu {

inline constexpr char kTokenPath[] = "/v1/client/token.php";

// The deployment's pin, for every exchange: the secondary default host goes
// to its fallback IPv4 address.
HostPin SecondaryHostPin();

// 0 with the token, or a negative code. When rejected is not empty, a token
// equal to it from memory or the cache file is passed over: the service just
// refused it. lastAnswer, when given, receives the last non-empty answer body
// a failed acquisition saw (empty on success): the text the caller hands back.
std::int32_t AcquireToken(const Identity& identity, std::string& token, std::string_view rejected = {},
                          std::string* lastAnswer = nullptr);

}  // namespace movu
