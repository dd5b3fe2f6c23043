// Base URLs as the settings hold them, cracked into what a connection needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movu {

struct EndpointUrl {
    bool secure = true;
    std::string host;  // UTF-8
    std::uint16_t port = 443;
};

// Accepts what the Windows URL cracker accepts for http and https; anything
// after the host is ignored. A text without "://" is taken as https.
bool CrackBaseUrl(std::string_view baseUrl, EndpointUrl& out);

}  // namespace movu
