// A base URL as the program set it, cracked once when it is set into what a
// connection needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movu {

struct BaseUrl {
    std::string text;      // as set, trimmed: what failure envelopes name
    bool cracked = false;  // false: an exchange with it ends in -10
    bool secure = true;
    std::string host;  // UTF-8; an IPv6 literal keeps its brackets
    std::uint16_t port = 443;
    bool secondaryHost = false;  // mentions the deployment's secondary host
};

// Accepts what the Windows URL cracker accepts for http and https; anything
// after the host is ignored. A text without "://" is taken as https. Fills
// text and the connection members; secondaryHost is the settings' to set.
bool CrackBaseUrl(std::string_view text, BaseUrl& out);

}  // namespace movu
