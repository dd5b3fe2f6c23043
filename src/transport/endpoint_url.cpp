#include "transport/endpoint_url.h"

#include <algorithm>

#include "api/text.h"
#include "settings/client_settings.h"

namespace movu {

namespace {

constexpr std::size_t kMaxScheme = 15;
constexpr std::size_t kMaxHost = 255;

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

// The full lower-case mapping towlower applies; only ASCII and Latin-1 letters
// can occur in a host name that matches, but a path may hold anything.
char16_t WideLower(char16_t c) {
    if (c < 0x80) return AsciiLower(c);
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 32);
    return c;
}

std::u16string AsciiLowerCopy(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = AsciiLower(c);
    return out;
}

}  // namespace

bool CrackBaseUrl(std::u16string_view baseUrl, EndpointUrl& out) {
    out = EndpointUrl{};
    std::u16string t = TrimSpace(baseUrl);
    if (t.size() < 3 || t.find(u"://") == std::u16string::npos) t.insert(0, u"https://");

    std::size_t colon = t.find(u':');
    if (colon == std::u16string::npos || colon == 0 || colon > kMaxScheme) return false;
    std::u16string scheme = AsciiLowerCopy(t.substr(0, colon));
    if (scheme != u"http" && scheme != u"https") return false;
    if (t.compare(colon, 3, u"://") != 0) return false;
    bool secure = scheme == u"https";

    // As the Windows cracker reads it: the authority ends at the first "/",
    // the host at the first ":" after any user part; "?" and "#" do not end
    // it, and a port is read as far as it has digits.
    std::u16string_view rest = std::u16string_view(t).substr(colon + 3);
    std::u16string_view authority = rest.substr(0, rest.find(u'/'));
    std::size_t at = authority.rfind(u'@');
    if (at != std::u16string_view::npos) authority = authority.substr(at + 1);

    std::size_t portColon = authority.find(u':');
    std::u16string_view host = authority.substr(0, portColon);
    if (host.size() > kMaxHost) return false;

    unsigned long port = 0;
    if (portColon != std::u16string_view::npos) {
        for (char16_t c : authority.substr(portColon + 1)) {
            if (c < u'0' || c > u'9') break;
            port = port * 10 + (c - u'0');
            if (port > 65535) return false;
        }
    }
    if (port == 0) port = secure ? 443 : 80;

    out.secure = secure;
    out.host = std::u16string(host);
    out.port = static_cast<std::uint16_t>(port);
    return !out.host.empty();
}

bool IsSecondaryHost(std::u16string_view host) {
    std::u16string_view name = SecondaryHostName();
    if (host.size() != name.size()) return false;
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (AsciiLower(host[i]) != AsciiLower(name[i])) return false;
    }
    return true;
}

void SecondaryHostFirst(std::vector<std::u16string>& baseUrls) {
    std::u16string name(SecondaryHostName());
    for (auto& c : name) c = WideLower(c);
    std::stable_partition(baseUrls.begin(), baseUrls.end(), [&](const std::u16string& url) {
        if (url.size() < name.size()) return false;
        std::u16string lower(url);
        for (auto& c : lower) c = WideLower(c);
        return lower.find(name) != std::u16string::npos;
    });
}

}  // namespace movu
