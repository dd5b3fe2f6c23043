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

struct Cracked {
    bool ok;
    bool secure;
    std::u16string host;
    int port;
    bool operator==(const Cracked& o) const {
        return ok == o.ok && (!ok || (secure == o.secure && host == o.host && port == o.port));
    }
};

Cracked Crack(std::u16string_view url) {
    EndpointUrl e;
    bool ok = CrackBaseUrl(url, e);
    return {ok, e.secure, e.host, e.port};
}

std::string Show(const Cracked& c) {
    return c.ok ? (std::string(c.secure ? "https " : "http ") + Utf16ToUtf8(c.host) + " " + std::to_string(c.port))
                : "fail";
}

}  // namespace

TEST(CrackBaseUrl, AcceptedForms) {
    EXPECT_EQ(Crack(u"h"), (Cracked{true, true, u"h", 443}));
    EXPECT_EQ(Crack(u"h:8443"), (Cracked{true, true, u"h", 8443}));
    EXPECT_EQ(Crack(u"http://h"), (Cracked{true, false, u"h", 80}));
    EXPECT_EQ(Crack(u"HTTPS://H"), (Cracked{true, true, u"H", 443}));
    EXPECT_EQ(Crack(u"http://h:8080/x"), (Cracked{true, false, u"h", 8080}));
    EXPECT_EQ(Crack(u"ab"), (Cracked{true, true, u"ab", 443}));
    EXPECT_EQ(Crack(u"  https://h/v2/  "), (Cracked{true, true, u"h", 443}));
    EXPECT_EQ(Crack(u"https://user:pw@h:9/p?q#f"), (Cracked{true, true, u"h", 9}));
    EXPECT_EQ(Crack(u"https://h:0"), (Cracked{true, true, u"h", 443}));
    // The port is read as far as it has digits; "?" and "#" do not end a host.
    EXPECT_EQ(Crack(u"https://h:12a"), (Cracked{true, true, u"h", 12}));
    EXPECT_EQ(Crack(u"h?q=1"), (Cracked{true, true, u"h?q=1", 443}));
}

TEST(CrackBaseUrl, RejectedForms) {
    for (const char16_t* url : {u"", u"   ", u"ftp://h", u"https://", u"h/x?u=a://b", u"https://h:65536",
                                u"https://h:70000/x", u"mailto://x"}) {
        EXPECT_FALSE(Crack(url).ok) << Utf16ToUtf8(url);
    }
    EXPECT_TRUE(Crack(u"https://" + std::u16string(255, u'a')).ok);
    EXPECT_FALSE(Crack(u"https://" + std::u16string(256, u'a')).ok);
}

TEST(SecondaryHost, WholeNameInAnyCase) {
    std::u16string name(SecondaryHostName());
    std::u16string upper = name;
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    EXPECT_TRUE(IsSecondaryHost(name));
    EXPECT_TRUE(IsSecondaryHost(upper));
    EXPECT_FALSE(IsSecondaryHost(u"x." + name));
    EXPECT_FALSE(IsSecondaryHost(name + u"x"));
    EXPECT_FALSE(IsSecondaryHost(u""));
}

TEST(SecondaryHost, ComesFirstAndKeepsOrder) {
    std::u16string s(SecondaryHostName());
    std::u16string upper = s;
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    std::vector<std::u16string> list{u"https://a", u"https://" + s, u"http://b", u"https://" + upper + u":1/p", u"x"};
    SecondaryHostFirst(list);
    EXPECT_EQ(list, (std::vector<std::u16string>{u"https://" + s, u"https://" + upper + u":1/p", u"https://a",
                                                 u"http://b", u"x"}));
}

#ifdef _WIN32
namespace {

// The same steps with the platform's URL cracker, as the reference.
Cracked CrackWithWinHttp(std::u16string_view url) {
    std::u16string t = TrimSpace(url);
    if (t.size() < 3 || t.find(u"://") == std::u16string::npos) t.insert(0, u"https://");
    wchar_t scheme[16] = {};
    wchar_t host[256] = {};
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof uc;
    uc.lpszScheme = scheme;
    uc.dwSchemeLength = 16;
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    if (!WinHttpCrackUrl(reinterpret_cast<const wchar_t*>(t.c_str()), 0, 0, &uc)) return {false, true, u"", 443};
    std::u16string s(reinterpret_cast<const char16_t*>(scheme), uc.dwSchemeLength);
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    bool secure = s == u"https";
    int port = uc.nPort ? uc.nPort : (secure ? 443 : 80);
    std::u16string h(reinterpret_cast<const char16_t*>(host), uc.dwHostNameLength);
    return {!h.empty(), secure, h, port};
}

}  // namespace

TEST(CrackBaseUrl, AgreesWithThePlatformCracker) {
    const std::vector<std::u16string> schemes{u"",       u"http://", u"https://",  u"HtTpS://", u"ftp://",
                                              u"http:/", u"http:",   u"https:///", u"xhttp://", u" http://"};
    const std::vector<std::u16string> users{u"", u"u@", u"u:p@", u"@"};
    const std::vector<std::u16string> hosts{u"h",
                                            u"svc.example.test",
                                            u"127.0.0.1",
                                            u"[::1]",
                                            u"",
                                            std::u16string(255, u'a'),
                                            std::u16string(256, u'b'),
                                            u"h-1_x",
                                            u"\u00fc.test"};
    const std::vector<std::u16string> ports{u"",     u":",   u":0",  u":8443", u":65535",  u":65536",       u":abc",
                                            u":080", u":1x", u":-1", u": 80",  u":65536x", u":99999999999", u":8080:9"};
    const std::vector<std::u16string> tails{u"", u"/", u"/v2/", u"?q=1", u"#f", u"/a://b"};
    int compared = 0;
    for (const auto& s : schemes)
        for (const auto& u : users)
            for (const auto& h : hosts)
                for (const auto& p : ports)
                    for (const auto& t : tails) {
                        std::u16string url = s + u + h + p + t;
                        Cracked ours = Crack(url);
                        Cracked ref = CrackWithWinHttp(url);
                        ++compared;
                        EXPECT_EQ(ours, ref)
                            << Utf16ToUtf8(url) << ": ours " << Show(ours) << ", platform " << Show(ref);
                    }
    EXPECT_GT(compared, 1000);
}
#endif
