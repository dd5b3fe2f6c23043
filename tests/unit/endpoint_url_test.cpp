// Base URL cracking and the secondary-host rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"
#include "transport/endpoint_url.h"

#ifdef _WIN32
#include <windows.h>
#include <winhttp.h>
#endif

using namespace movu;

namespace {

// "https h 443", or "fail".
std::string Crack(std::string_view url) {
    EndpointUrl e;
    if (!CrackBaseUrl(url, e)) return "fail";
    return std::string(e.secure ? "https " : "http ") + e.host + " " + std::to_string(e.port);
}

std::string Upper(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

}  // namespace

TEST(CrackBaseUrl, AcceptedAndRejectedForms) {
    const std::pair<std::string, std::string> cases[] = {
        {"h", "https h 443"},
        {"h:8443", "https h 8443"},
        {"http://h", "http h 80"},
        {"HTTPS://H", "https H 443"},
        {"http://h:8080/x", "http h 8080"},
        {"  https://h/v2/  ", "https h 443"},
        {"https://user:pw@h:9/p?q#f", "https h 9"},
        {"https://a@b@h:7", "https h 7"},  // the last "@" ends the user part
        {"https://h:0", "https h 443"},
        // The port is read as far as it has digits; "?" and "#" do not end a host.
        {"https://h:12a", "https h 12"},
        {"h?q=1", "https h?q=1 443"},
        {"https://h:65535", "https h 65535"},
        {"https://h:65536", "fail"},
        {"https://h:70000/x", "fail"},
        {"", "fail"},
        {"   ", "fail"},
        {"ftp://h", "fail"},
        {"mailto://x", "fail"},
        {"https://", "fail"},
        {"h/x?u=a://b", "fail"},
        // The host limit counts UTF-16 units, as the Windows cracker does.
        {"https://" + std::string(255, 'a'), "https " + std::string(255, 'a') + " 443"},
        {"https://" + std::string(256, 'a'), "fail"},
        {"https://" + std::string(127, 'a') + "\xF0\x9F\x98\x80",
         "https " + std::string(127, 'a') + "\xF0\x9F\x98\x80 443"},
        {"https://" + std::string(254, 'a') + "\xF0\x9F\x98\x80", "fail"},
    };
    for (const auto& [url, expected] : cases) EXPECT_EQ(Crack(url), expected) << url;
}

TEST(SecondaryHost, WholeNameInAnyCaseComesFirstInItsOrder) {
    const std::string name(SecondaryHostName());
    EXPECT_TRUE(IsSecondaryHost(name));
    EXPECT_TRUE(IsSecondaryHost(Upper(name)));
    for (const std::string& other : {"x." + name, name + "x", std::string()}) EXPECT_FALSE(IsSecondaryHost(other));

    std::vector<std::string> list{"https://a", "https://" + name, "http://b", "https://" + Upper(name) + ":1/p", "x"};
    SecondaryHostFirst(list);
    EXPECT_EQ(list, (std::vector<std::string>{"https://" + name, "https://" + Upper(name) + ":1/p", "https://a",
                                              "http://b", "x"}));
}

#ifdef _WIN32
namespace {

// The same steps with the platform's URL cracker, as the reference.
std::string CrackWithWinHttp(std::string_view url) {
    std::string t = TrimSpace(url);
    if (t.size() < 3 || t.find("://") == std::string::npos) t.insert(0, "https://");
    const std::u16string wide = Utf8ToUtf16(t);
    wchar_t scheme[16] = {};
    wchar_t host[256] = {};
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof uc;
    uc.lpszScheme = scheme;
    uc.dwSchemeLength = 16;
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    if (!WinHttpCrackUrl(reinterpret_cast<const wchar_t*>(wide.c_str()), 0, 0, &uc)) return "fail";
    const bool secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
    const int port = uc.nPort ? uc.nPort : (secure ? 443 : 80);
    const std::string h = Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(host), uc.dwHostNameLength));
    if (h.empty()) return "fail";
    return std::string(secure ? "https " : "http ") + h + " " + std::to_string(port);
}

}  // namespace

TEST(CrackBaseUrl, AgreesWithThePlatformCracker) {
    const std::vector<std::string> schemes{"",       "http://", "https://",  "HtTpS://", "ftp://",
                                           "http:/", "http:",   "https:///", "xhttp://", " http://"};
    const std::vector<std::string> users{"", "u@", "u:p@", "@"};
    const std::vector<std::string> hosts{
        "h",     "svc.example.test", "127.0.0.1", "[::1]", "", std::string(255, 'a'), std::string(256, 'b'),
        "h-1_x", "\xC3\xBC.test"};
    const std::vector<std::string> ports{":",    "",    ":0",  ":8443", ":65535",  ":65536",       ":abc",
                                         ":080", ":1x", ":-1", ": 80",  ":65536x", ":99999999999", ":8080:9"};
    const std::vector<std::string> tails{"", "/", "/v2/", "?q=1", "#f", "/a://b"};
    int compared = 0;
    for (const auto& s : schemes)
        for (const auto& u : users)
            for (const auto& h : hosts)
                for (const auto& p : ports)
                    for (const auto& t : tails) {
                        const std::string url = s + u + h + p + t;
                        ++compared;
                        EXPECT_EQ(Crack(url), CrackWithWinHttp(url)) << url;
                    }
    EXPECT_GT(compared, 1000);
}
#endif
