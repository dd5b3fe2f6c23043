#include "transport/endpoint_url.h"

#include <algorithm>

#include "api/text.h"
#include "platform/ascii.h"

namespace movu {

namespace {

constexpr std::size_t kMaxScheme = 15;
constexpr std::size_t kMaxHost = 255;  // UTF-16 units, as the Windows cracker counts

// Lead bytes count one unit, four-byte sequences (a surrogate pair) two.
std::size_t Utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Hex digits, colons and an embedded IPv4 tail: what an IPv6 address is
// written with. Zone identifiers are not taken.
bool IsIpv6Literal(std::string_view text) {
    if (text.find(':') == std::string_view::npos) return false;
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return false;
    }
    return true;
}

}  // namespace

bool CrackBaseUrl(std::string_view baseUrl, EndpointUrl& out) {
    out = EndpointUrl{};
    std::string t = TrimSpace(baseUrl);
    if (t.size() < 3 || t.find("://") == std::string::npos) t.insert(0, "https://");

    std::size_t colon = t.find(':');
    if (colon == std::string::npos || colon == 0 || colon > kMaxScheme) return false;
    std::string scheme = ascii::Lower(t.substr(0, colon));
    if (scheme != "http" && scheme != "https") return false;
    if (t.compare(colon, 3, "://") != 0) return false;
    bool secure = scheme == "https";

    // As the Windows cracker reads it: the authority ends at the first "/",
    // the host at the first ":" after any user part; "?" and "#" do not end
    // it, and a port is read as far as it has digits.
    std::string_view rest = std::string_view(t).substr(colon + 3);
    std::string_view authority = rest.substr(0, rest.find('/'));
    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority = authority.substr(at + 1);

    // An IPv6 literal stands in brackets (RFC 3986); the brackets stay part of
    // the host, the form the Host header and both stacks take, and the port
    // follows the closing one.
    std::size_t hostEnd = authority.find(':');
    std::string_view portText = hostEnd == std::string_view::npos ? "" : authority.substr(hostEnd + 1);
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos || !IsIpv6Literal(authority.substr(1, close - 1))) return false;
        hostEnd = close + 1;
        const std::string_view after = authority.substr(hostEnd);
        if (!after.empty() && std::string_view(":?#").find(after.front()) == std::string_view::npos) return false;
        portText = !after.empty() && after.front() == ':' ? after.substr(1) : "";
    }
    std::string_view host = authority.substr(0, hostEnd);
    if (Utf16Length(host) > kMaxHost) return false;

    unsigned long port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') break;
        port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) return false;
    }
    if (port == 0) port = secure ? 443 : 80;

    out.secure = secure;
    out.host = std::string(host);
    out.port = static_cast<std::uint16_t>(port);
    return !out.host.empty();
}

}  // namespace movu
