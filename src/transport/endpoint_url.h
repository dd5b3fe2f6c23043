// Base URLs as the settings hold them, cracked into what a connection needs,
// and the rules that single out the secondary default host.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace movu {

struct EndpointUrl {
    bool secure = true;
    std::string host;  // UTF-8
    std::uint16_t port = 443;
};

// Accepts what the Windows URL cracker accepts for http and https; anything
// after the host is ignored. A text without "://" is taken as https.
bool CrackBaseUrl(std::string_view baseUrl, EndpointUrl& out);

// Whole-name match against the secondary default host, ASCII case folded.
bool IsSecondaryHost(std::string_view host);

// Stable partition: entries that mention the secondary default host first.
void SecondaryHostFirst(std::vector<std::string>& baseUrls);

}  // namespace movu
