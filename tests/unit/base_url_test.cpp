// Base URL cracking and the secondary-host rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"

#ifdef _WIN32
#include <windows.h>
#include <winhttp.h>
#endif

using namespace movu;

namespace {

// "https h 443", or "fail".
std::string Crack(std::string_view url) {
    BaseUrl e;
    if (!CrackBaseUrl(url, e)) return "fail";
    return std::string(e.secure ? "https " : "http ") + e.host + " " + std::to_string(e.port);
}

}  // namespace

TEST(CrackBaseUrl, AcceptedAndRejectedForms) {
    const std::string a127(127, 'a'), a254(254, 'a'), a255(255, 'a'), smiley = "\xF0\x9F\x98\x80";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"h", "https h 443"}, {"h:8443", "https h 8443"}, {"http://h", "http h 80"}, {"HTTPS://H", "https H 443"},
        {"  https://h/v2/  ", "https h 443"}, {"https://h:0", "https h 443"},
        {"https://a@b@h:7", "https h 7"},  // the last "@" ends the user part
        // The port is read as far as it has digits; "?" and "#" do not end a host.
        {"https://h:12a", "https h 12"}, {"h?q=1", "https h?q=1 443"}, {"https://h:65535", "https h 65535"},
        {"https://h:65536", "fail"}, {"", "fail"}, {"ftp://h", "fail"}, {"https://", "fail"}, {"h/x?u=a://b", "fail"},
        // The host limit counts UTF-16 units, as the Windows cracker does.
        {"https://" + a255, "https " + a255 + " 443"}, {"https://" + a255 + "a", "fail"},
        {"https://" + a127 + smiley, "https " + a127 + smiley + " 443"}, {"https://" + a254 + smiley, "fail"},
        // An IPv6 literal in brackets is the host, brackets kept; the port follows them.
        {"http://[::1]:8443", "http [::1] 8443"}, {"[::1]", "https [::1] 443"}, {"https://u@[::1]:7/p", "https [::1] 7"},
        {"http://[::FFFF:127.0.0.1]/", "http [::FFFF:127.0.0.1] 80"}, {"http://[2001:db8::1]:", "http [2001:db8::1] 80"},
        {"http://[::1]?q=1", "http [::1] 80"}, {"http://[::1", "fail"}, {"http://[::1]8443", "fail"}, {"http://[h]", "fail"}, {"http://[]:80", "fail"},
        {"http://[1:2:3:4:5:6:7:8]", "http [1:2:3:4:5:6:7:8] 80"}, {"http://[:31267]", "fail"}, {"http://[1:2]", "fail"},
        {"http://[1::2::3]", "fail"}, {"http://[12345::]", "fail"}, {"http://[::1:]", "fail"}, {"http://[::256.0.0.1]", "fail"},
        {"http://[1:2:3:4:5:6:7::8]", "fail"}, {"http://[fe80::1%25eth0]", "fail"},
        {"http://[fe80::1%251]", "fail"}, {"http://h[1]:81", "http h[1] 81"},
    };
    // clang-format on
    for (const auto& [url, expected] : cases) EXPECT_EQ(Crack(url), expected) << url;
}

TEST(SecondaryHost, ComesFirstInItsOrderInAnyCase) {
    const std::string name(SecondaryHostName());
    std::string upper = name;
    std::transform(name.begin(), name.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    std::vector<BaseUrl> list;
    for (const char* text : {"https://a", "", "http://b", "", "x"}) list.push_back(MakeBaseUrl(text));
    list[1] = MakeBaseUrl("https://" + name);
    list[3] = MakeBaseUrl("https://" + upper + ":1/p");
    SecondaryHostFirst(list);
    std::vector<std::string> texts;
    for (const BaseUrl& url : list) texts.push_back(url.text);
    EXPECT_EQ(texts,
              (std::vector<std::string>{"https://" + name, "https://" + upper + ":1/p", "https://a", "http://b", "x"}));
}

#ifdef _WIN32
// The same steps with the platform's URL cracker, as the reference.
std::string CrackWithWinHttp(std::string_view url) {
    std::string t = TrimSpace(url);
    if (t.size() < 3 || t.find("://") == std::string::npos) t.insert(0, "https://");
    const std::u16string wide = Utf8ToUtf16(t);
    wchar_t scheme[16] = {}, host[256] = {};
    URL_COMPONENTS uc{sizeof uc, scheme, 16, {}, host, 256};
    if (!WinHttpCrackUrl(reinterpret_cast<const wchar_t*>(wide.c_str()), 0, 0, &uc)) return "fail";
    const bool secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
    const std::string h = Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(host), uc.dwHostNameLength));
    if (h.empty()) return "fail";
    return std::string(secure ? "https " : "http ") + h + " " + std::to_string(uc.nPort ? uc.nPort : secure ? 443 : 80);
}

// Wine's cracker takes "[" for the host of an IPv6 literal; Windows brackets
// it as RFC 3986 does (docs/troubleshooting.md).
bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(CrackBaseUrl, AgreesWithThePlatformCracker) {
    const bool wine = UnderWine();
    // clang-format off
    for (const std::string& s : std::vector<std::string>{"", "http://", "https://", "HtTpS://", "ftp://", "http:/", "http:", "https:///", "xhttp://", " http://"})
        for (const std::string& u : std::vector<std::string>{"", "u@", "u:p@", "@"})
            for (const std::string& h : std::vector<std::string>{"h", "svc.example.test", "127.0.0.1", "[::1]", "", std::string(255, 'a'), std::string(256, 'b'), "h-1_x", "\xC3\xBC.test"})
                for (const std::string& p : std::vector<std::string>{":", "", ":0", ":8443", ":65535", ":65536", ":abc", ":080", ":1x", ":-1", ": 80", ":65536x", ":99999999999", ":8080:9"})
                    for (const std::string& t : std::vector<std::string>{"", "/", "/v2/", "?q=1", "#f", "/a://b"})
                        if (!(wine && h[0] == '['))
                        EXPECT_EQ(Crack(s + u + h + p + t), CrackWithWinHttp(s + u + h + p + t)) << s + u + h + p + t;
    // clang-format on
}
#endif
