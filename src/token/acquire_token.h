// Bearer token for an account: from memory, from the cache file, or from the
// token endpoint across the base URL list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movu {

struct IdentityUtf8 {
    std::string account, platform, broker, server, clientVersion;
};

constexpr std::int32_t kNoBaseUrl = -100;

// 0 with the token, or a negative code. When rejected is not empty, a token
// equal to it from memory or the cache file is passed over: the service just
// refused it.
std::int32_t AcquireToken(const IdentityUtf8& identity, std::string& token, std::string_view rejected = {});

// The last non-empty answer body a failed acquisition saw on this thread;
// taking it leaves it empty.
std::string TakeLastTokenResponse();

}  // namespace movu
