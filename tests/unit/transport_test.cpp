// One exchange against the local test service: what goes out, what comes
// back, and what a caller is left with when a step fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/text.h"
#include "platform/platform.h"
#include "settings/client_settings.h"
#include "temp_folder.h"
#include "testservice_client.h"
#include "api/result_codes.h"
#include "transport/http_exchange.h"

using namespace movu;
using movu::test::ScriptedResponse;
using movu::test::Site;
using movu::test::TestService;

namespace {

struct Outcome {
    std::int32_t code = 1;
    std::string body;
    std::uint32_t status = 1;
};

Outcome Exchange(const std::string& baseUrl, const std::string& target, const std::string& verb = "GET",
                 const HeaderFields& headers = {}, const std::string& body = {}) {
    Outcome o;
    o.body = "left over from before";
    o.code = HttpExchange(baseUrl, verb, target, headers, body, o.body, o.status);
    return o;
}

ScriptedResponse Answer(int status, const std::string& body) {
    ScriptedResponse r;
    r.status = status;
    r.body = body;
    return r;
}

// HTTPS needs the test CA; under Wine that takes a private mount namespace.
bool HttpsUnavailable() {
    const char* wine = std::getenv("MOVU_WINE_HTTPS");
    return wine && std::string(wine) == "0";
}
#define REQUIRE_HTTPS()                                                 \
    if (HttpsUnavailable())                                             \
    GTEST_SKIP() << "HTTPS under Wine needs a private mount namespace " \
                    "for the test CA (MOVU_WINE_HTTPS=0)"

std::uint64_t Fnv1a(const std::string& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

// A name no resolver can be asked about: a label longer than 63 characters
// cannot be put into a query, so the lookup fails on this machine.
std::string Unresolvable(const std::string& around) { return around + "." + std::string(64, 'q') + ".invalid"; }

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

class Transport : public ::testing::Test {
protected:
    TestService& service = TestService::Instance();
    void SetUp() override { ASSERT_TRUE(service.available()) << service.error(); }
};

}  // namespace

// The limits both platforms use are the Windows stack's documented defaults
// (test builds may shorten the head limit; the suites do).
TEST(ExchangeLimits, AreTheWindowsStacksDocumentedDefaults) {
    const platform::ExchangeLimits l;
    EXPECT_EQ((std::vector<std::uint32_t>{l.resolveMs, l.connectMs, l.sendMs, l.receiveMs, l.headMs}),
              (std::vector<std::uint32_t>{0, 60000, 30000, 30000, 90000}));
}

// The request body goes out with its length whatever the verb; any status is
// an answer, its body handed back byte for byte.
TEST_F(Transport, BodiesTravelUnchangedBothWays) {
    Site site = service.OpenSite();
    struct Case {
        const char* verb;
        std::string sent;
        const char* length;  // null: not checked
        int status;
        std::string answer;
    };
    const Case cases[] = {
        {"POST", std::string("x\0y\r\n\xFFz", 7), "7", 404, "not here"},
        {"GET", "{\"q\":1}", "7", 500, std::string("{\"e\":1}\0\xFF\xFE tail", 15)},
        {"POST", "", "0", 401, ""},
        {"GET", "", nullptr, 200, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " answered " + std::to_string(c.status));
        site.Script("/b", Answer(c.status, c.answer));
        const Outcome o = Exchange(site.BaseUrl(), "/b", c.verb, {}, c.sent);
        EXPECT_EQ(o.code, 0);
        EXPECT_EQ(o.status, static_cast<std::uint32_t>(c.status));
        EXPECT_EQ(o.body, c.answer);
        const auto r = site.Requests("/b").back();
        EXPECT_EQ(r.method, c.verb);
        EXPECT_EQ(r.body, c.sent);
        if (c.length) EXPECT_EQ(r.Header("Content-Length"), c.length);
        EXPECT_EQ(r.HeaderCount("Transfer-Encoding"), 0);
    }
}

// A large upload goes out without waiting for a 100-continue; a large answer
// arrives whole.
TEST_F(Transport, LargeBodiesArriveWhole) {
    Site site = service.OpenSite();
    site.Script("/up", Answer(200, "ok"));
    const std::string body = test::GeneratedBody(3 * 1024 * 1024 + 7);
    Outcome o = Exchange(site.BaseUrl(), "/up", "POST", {{"Content-Type", "application/octet-stream"}}, body);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.body, "ok");
    auto got = site.Requests("/up");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].body == body) << got[0].body.size() << " of " << body.size() << " bytes";
    EXPECT_EQ(got[0].HeaderCount("Expect"), 0);

    const std::size_t size = 50u * 1024 * 1024;
    ScriptedResponse big;
    big.body_size = size;
    site.Script("/big", big);
    o = Exchange(site.BaseUrl(), "/big");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.status, 200u);
    ASSERT_EQ(o.body.size(), size);
    EXPECT_EQ(Fnv1a(o.body), Fnv1a(test::GeneratedBody(size)));
}

TEST_F(Transport, HeaderFieldsGoOutOncePerNameWithNothingInjected) {
    Site site = service.OpenSite();
    site.Script("/h", Answer(200, ""));
    HeaderFields fields;
    SetHeader(fields, "authorization", "Bearer old");
    SetHeader(fields, "X-Plain", " 2\t ");
    SetHeader(fields, "X-Empty", "");
    SetHeader(fields, "X-Evil", "a\r\nX-Injected: 1");
    SetHeader(fields, "Authorization", "Bearer new");
    ASSERT_EQ(Exchange(site.BaseUrl(), "/h?x=1&y=%20z", "GET", fields).code, 0);

    const auto h = site.Requests("/h").at(0);
    EXPECT_EQ(h.target, "/h?x=1&y=%20z");
    for (const auto& [name, value] : {std::pair{"Authorization", "Bearer new"},
                                      {"X-Plain", "2"},
                                      {"X-Empty", ""},
                                      {"X-Evil", "aX-Injected: 1"},
                                      {"User-Agent", "movu-client/1.0"}}) {
        EXPECT_EQ(h.HeaderCount(name), 1) << name;
        EXPECT_EQ(h.Header(name), value) << name;
    }
    // Nothing the caller did not ask for beyond the basics.
    EXPECT_EQ(h.HeaderCount("X-Injected"), 0);
    EXPECT_EQ(h.HeaderCount("Content-Type"), 0);
    EXPECT_EQ(h.HeaderCount("Expect"), 0);
}

TEST_F(Transport, BaseUrlContributesOnlySchemeHostAndPort) {
    Site site = service.OpenSite();
    site.Script("/v1/t.php", Answer(200, "plain"));
    // A path in the base URL is not put in front of the target.
    Outcome o = Exchange("  http://localhost:" + std::to_string(site.port()) + "/v2/?k=v  ", "/v1/t.php");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.body, "plain");
    auto got = site.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].target, "/v1/t.php");
    EXPECT_EQ(got[0].Header("Host"), "localhost:" + std::to_string(site.port()));
#ifndef _WIN32
    // Bytes that cannot stand in a request line are percent-encoded (the
    // Windows stack has escaping rules of its own).
    Exchange(site.BaseUrl(), "/a b\t\x7F\xC3\xA9?q=%20");
    EXPECT_EQ(site.Requests().back().target, "/a%20b%09%7F%C3%A9?q=%20");
#endif

    for (const std::string& base : {std::string(), std::string("   "), std::string("ftp://127.0.0.1"),
                                    std::string("https://"), std::string("h/x?u=a://b")}) {
        o = Exchange(base, "/x");
        EXPECT_EQ(o.code, kBadBaseUrl) << "'" << base << "'";
        EXPECT_EQ(o.body, "") << "'" << base << "'";
        EXPECT_EQ(o.status, 0u);
    }
}

// A connection that cannot be made gives one line of JSON naming the base URL
// as given, the host and the port. A name that merely contains the secondary
// host is looked up, not pinned (pinned, it would reach the loopback address).
TEST_F(Transport, ConnectFailureGivesAnEnvelopeWithHostAndPort) {
    const int closed = service.ClosedPort();
    Site site = service.OpenSite();
    site.Script("/p", Answer(200, "must not arrive"));
    const std::string lookAlike = Unresolvable(std::string(SecondaryHostName()));
    struct Case {
        std::string base, host;
        int port;
    };
    const Case cases[] = {
        {" http://127.0.0.1:" + std::to_string(closed) + "/q\"uo\\te ", "127.0.0.1", closed},
        {Unresolvable("noscheme"), Unresolvable("noscheme"), 443},  // no scheme: HTTPS
        {"http://" + lookAlike + ":" + std::to_string(site.port()), lookAlike, site.port()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        const Outcome o = Exchange(c.base, "/p");
        EXPECT_EQ(o.code, kConnectFailed);
        EXPECT_EQ(o.status, 0u);
        const auto env = nlohmann::ordered_json::parse(o.body);
        EXPECT_EQ(env.dump(), o.body) << "not compact, one-line JSON";
        std::vector<std::string> members;
        for (auto it = env.begin(); it != env.end(); ++it) members.push_back(it.key());
        EXPECT_EQ(members, (std::vector<std::string>{"ok", "error", "win32", "base_url", "host", "port"}));
        EXPECT_EQ(env["ok"], false);
        EXPECT_EQ(env["error"], "WINHTTP_CONNECT_FAILED");
        EXPECT_TRUE(env["win32"].is_number_unsigned());
        EXPECT_NE(env["win32"], 0);
        EXPECT_EQ(env["base_url"], c.base);  // as given: untrimmed, quote and backslash intact
        EXPECT_EQ(env["host"], c.host);
        EXPECT_EQ(env["port"], c.port);
    }
    EXPECT_TRUE(site.Requests().empty());
}

#ifndef _WIN32
// A cracked host that is no host name ("?" kept in it, a lone "[") goes
// nowhere: a proxy sees no request for the name libcurl would read out of
// the URL text instead.
TEST_F(Transport, OddBaseUrlsConnectOnlyWhereTheyWereCracked) {
    Site proxy = service.OpenSite();
    const std::string port = std::to_string(proxy.port());
    setenv("http_proxy", proxy.BaseUrl().c_str(), 1);
    setenv("no_proxy", "", 1);
    const std::pair<std::string, std::string> cases[] = {{"http://127.0.0.1?q=1:" + port, "127.0.0.1?q=1"},
                                                         {"http://localhost#:" + port, "localhost#"},
                                                         {"http://[::1]:" + port, "["}};
    for (const auto& [base, host] : cases) {
        const Outcome o = Exchange(base, "/p");
        EXPECT_EQ(o.code, kConnectFailed) << base;
        EXPECT_EQ(nlohmann::json::parse(o.body)["host"], host) << base;
    }
    unsetenv("http_proxy");
    unsetenv("no_proxy");
    EXPECT_TRUE(proxy.Requests().empty());
}
#endif

TEST_F(Transport, BaseUrlWithoutSchemeIsHttps) {
    REQUIRE_HTTPS();
    Site tls = service.OpenSite(true);
    tls.Script("/s", Answer(200, "secure"));
    Outcome o = Exchange("localhost:" + std::to_string(tls.port()), "/s");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.body, "secure");

    Site plain = service.OpenSite(false);
    plain.Script("/s", Answer(200, "plain"));
    o = Exchange("localhost:" + std::to_string(plain.port()), "/s");
    EXPECT_LT(o.code, 0);
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.body.find("plain"), std::string::npos);
}

TEST_F(Transport, SecondaryHostReachesItsSiteInAnyLetterCaseWithTheNameChecked) {
    REQUIRE_HTTPS();
    const std::string secondary(SecondaryHostName());
    Site site = service.OpenSite(true);
    site.Script("/p", {Answer(200, "pinned"), Answer(200, "pinned")});
    for (const std::string& name : {secondary, Upper(secondary)}) {
        Outcome o = Exchange("https://" + name + ":" + std::to_string(site.port()) + "/", "/p");
        EXPECT_EQ(o.code, 0) << name << ": " << o.body;
        EXPECT_EQ(o.status, 200u);
        EXPECT_EQ(o.body, "pinned");
    }
    auto got = site.Requests("/p");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].Header("Host"), Upper(secondary) + ":" + std::to_string(site.port()));

    // The certificate is still checked against the host name, not the address.
    Site wrong = service.OpenSite(true, "wrongname");
    wrong.Script("/p", Answer(200, "must not arrive"));
    Outcome o = Exchange("https://" + secondary + ":" + std::to_string(wrong.port()), "/p");
    EXPECT_EQ(o.code, kSendFailed);
    EXPECT_EQ(nlohmann::json::parse(o.body)["error"], "WINHTTP_SEND_FAILED");
}

// TLS sessions are resumed process-wide, as the Windows TLS layer resumes them,
// though each exchange has a connection of its own; only for the same host,
// port and TLS settings.
TEST_F(Transport, TlsSessionsResumeOnlyForTheSameHostPortAndSettings) {
    REQUIRE_HTTPS();
    // Wine's TLS layer refuses the certificate for an address, though it names it.
    const bool wine = std::getenv("MOVU_WINE_HTTPS") != nullptr;
    Site a = service.OpenSite(true), b = service.OpenSite(true);
    const auto resumed = [](Site& s, const std::string& host, bool mustArrive = true) {
        s.Script("/r", Answer(200, "ok"));
        const Outcome o = Exchange(s.BaseUrl(host), "/r");
        if (mustArrive) EXPECT_EQ(o.body, "ok") << host;
        const auto got = s.Requests("/r");
        return !got.empty() && got.back().resumed;
    };
    resumed(a, "localhost");
    const bool again = resumed(a, "localhost");
    // Wine's TLS layer (unlike the documented Windows one) may not resume.
    if (!again && wine)
        std::cout << "note: no TLS session resumption under Wine\n";
    else
        EXPECT_TRUE(again);
    EXPECT_FALSE(resumed(a, "127.0.0.1", !wine)) << "another host name";
    EXPECT_FALSE(resumed(b, "localhost")) << "another port";
#ifndef _WIN32
    // Another trust store is another setting, even for the same certificate.
    const char* set = std::getenv("SSL_CERT_FILE");
    const std::string before = set ? set : "";
    test::TempFolder temp("tls-settings");
    std::filesystem::copy_file(service.CaFile(), temp.path() / "ca.pem");
    setenv("SSL_CERT_FILE", (temp.path() / "ca.pem").c_str(), 1);
    const bool otherStore = resumed(a, "localhost");
    if (set)
        setenv("SSL_CERT_FILE", before.c_str(), 1);
    else
        unsetenv("SSL_CERT_FILE");
    EXPECT_FALSE(otherStore) << "another trust store";
#endif
}
