#include "settings/base_url.h"

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

// A dotted IPv4 address: four decimal parts of 0 to 255, no leading zeros.
bool IsIpv4Dotted(std::string_view text) {
    int parts = 0;
    while (parts < 4) {
        std::size_t n = 0;
        unsigned value = 0;
        while (n < text.size() && n < 4 && text[n] >= '0' && text[n] <= '9') value = value * 10 + (text[n++] - '0');
        if (n == 0 || n > 3 || value > 255 || (n > 1 && text[0] == '0')) return false;
        text.remove_prefix(n);
        if (++parts < 4) {
            if (text.empty() || text.front() != '.') return false;
            text.remove_prefix(1);
        }
    }
    return text.empty();
}

// Colon-separated groups of one to four hex digits (an IPv4 tail counts two);
// "::" stands for one or more zero groups and appears at most once (RFC 4291,
// as RFC 3986 takes it). Zone identifiers are not taken.
bool IsIpv6Groups(std::string_view text, bool last, int& groups) {
    groups = 0;
    while (!text.empty()) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && last && group.find('.') != std::string_view::npos) {
            if (!IsIpv4Dotted(group)) return false;
            groups += 2;
            return true;
        }
        if (group.empty() || group.size() > 4 ||
            !std::all_of(group.begin(), group.end(), [](char c) { return ascii::HexValue(c) >= 0; }))
            return false;
        ++groups;
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (text.empty()) return false;  // a lone trailing colon
    }
    return true;
}

bool IsIpv6Literal(std::string_view text) {
    const std::size_t gap = text.find("::");
    int head = 0, tail = 0;
    if (gap == std::string_view::npos) return IsIpv6Groups(text, true, head) && head == 8;
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    return IsIpv6Groups(text.substr(0, gap), false, head) && IsIpv6Groups(text.substr(gap + 2), true, tail) &&
           head + tail <= 7;
}

}  // namespace

bool CrackBaseUrl(std::string_view text, BaseUrl& out) {
    out = BaseUrl{};
    out.text = TrimSpace(text);
    std::string t = out.text;
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

    if (host.empty()) return false;
    out.secure = secure;
    out.host = std::string(host);
    out.port = static_cast<std::uint16_t>(port);
    out.cracked = true;
    return true;
}

}  // namespace movu
