// One exchange against the local test service: what goes out, what comes
// back, and what a caller is left with when a step fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "api/result_codes.h"
#include "platform/platform.h"
#include "platform/win/option_buffer.h"
#include "settings/client_settings.h"
#include "testservice_client.h"
#include "token/acquire_token.h"
#include "transport/http_exchange.h"

using namespace movu;
using namespace movu::test;

namespace {

struct Outcome {
    std::int32_t code = 1;
    std::string body = "left over from before";
    std::uint32_t status = 1;
};

Outcome Exchange(const std::string& baseUrl, const std::string& target, const std::string& verb = "GET",
                 const std::string& body = {}) {
    Outcome o;
    o.code = HttpExchange(MakeBaseUrl(baseUrl), SecondaryHostPin(), verb, target, {}, body, o.body, o.status);
    return o;
}

#define REQUIRE_HTTPS() \
    if (const std::string why = HttpsUnavailable(); !why.empty()) GTEST_SKIP() << why

// A name no resolver can be asked about: a label longer than 63 characters
// cannot be put into a query, so the lookup fails on this machine.
std::string Unresolvable(const std::string& around) { return around + "." + std::string(64, 'q') + ".invalid"; }

class Transport : public ::testing::Test {
protected:
    TestService& service = TestService::Instance();
    void SetUp() override { ASSERT_TRUE(service.available()) << service.error(); }
};

}  // namespace

// The request body goes out with its length whatever the verb, a large one
// without waiting for a 100-continue; any status is an answer, its body handed
// back byte for byte, a large one whole.
TEST_F(Transport, BodiesTravelUnchangedBothWays) {
    Site site = service.OpenSite();
    const std::string large = GeneratedBody(3 * 1024 * 1024 + 7);
    const std::tuple<const char*, std::string, int, std::string> cases[] = {
        {"POST", std::string("x\0y\r\n\xFFz", 7), 404, "not here"},
        {"GET", "{\"q\":1}", 500, std::string("{\"e\":1}\0\xFF\xFE tail", 15)},
        {"POST", "", 401, ""},
        {"POST", large, 200, "ok"},
    };
    for (const auto& [verb, sent, status, answer] : cases) {
        SCOPED_TRACE(std::string(verb) + " answered " + std::to_string(status));
        site.Script("/b", Answer(status, answer));
        const Outcome o = Exchange(site.BaseUrl(), "/b?x=1&y=%20z", verb, sent);
        EXPECT_EQ(std::tie(o.code, o.status, o.body), std::make_tuple(0, std::uint32_t(status), answer));
        const auto r = site.Requests().back();
        EXPECT_EQ(std::tie(r.method, r.target), std::make_tuple(verb, "/b?x=1&y=%20z"));
        EXPECT_TRUE(r.body == sent) << r.body.size() << " of " << sent.size() << " bytes";
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(sent.size()));
        EXPECT_EQ(r.Header("User-Agent"), "movu-client/1.0");
        EXPECT_EQ(r.HeaderCount("Transfer-Encoding") + r.HeaderCount("Expect") + r.HeaderCount("Content-Type"), 0);
    }
    ScriptedResponse big;
    big.body_size = 50u * 1024 * 1024;
    site.Script("/big", big);
    const Outcome o = Exchange(site.BaseUrl(), "/big");
    EXPECT_EQ(o.status, 200u);
    EXPECT_TRUE(o.body == GeneratedBody(big.body_size)) << o.body.size() << " bytes";
}

// The base URL gives the scheme, host and port, nothing else. A connection
// that cannot be made gives an envelope naming the host and the port (its
// members are checked through the exports); a name that merely contains the
// secondary host is looked up, not pinned (pinned, it would reach the site).
TEST_F(Transport, BaseUrlContributesOnlySchemeHostAndPort) {
    Site site = service.OpenSite();
    site.Script("/v1/t.php", Answer(200, "plain"));
    const Outcome o = Exchange("  http://localhost:" + std::to_string(site.port()) + "/v2/?k=v  ", "/v1/t.php");
    EXPECT_EQ(o.body, "plain");
    EXPECT_EQ(site.Requests().at(0).target, "/v1/t.php");
    EXPECT_EQ(site.Requests().at(0).Header("Host"), "localhost:" + std::to_string(site.port()));
    // Both stacks get the same request line: bytes that cannot stand in it
    // percent-encoded, "/" for an empty target, GET for no method, and no
    // request at all for a method that is no HTTP token.
    Exchange(site.BaseUrl(), "/a b\t\x7F\xC3\xA9?q=%20");
    EXPECT_EQ(site.Requests().back().target, "/a%20b%09%7F%C3%A9?q=%20");
    Exchange(site.BaseUrl(), "", "");
    EXPECT_EQ(std::tie(site.Requests().back().method, site.Requests().back().target), std::make_tuple("GET", "/"));
    const Outcome badMethod = Exchange(site.BaseUrl(), "/a b", "GE T");
    EXPECT_EQ(badMethod.code, kOpenRequestFailed);
    EXPECT_EQ(nlohmann::json::parse(badMethod.body)["path"], "/a b");
    EXPECT_EQ(site.Requests().size(), 3u);
    const std::string lookAlike = Unresolvable(std::string(SecondaryHostName()));
    const std::tuple<std::string, std::string, int> cases[] = {
        {Unresolvable("noscheme"), Unresolvable("noscheme"), 443},  // no scheme: HTTPS
        {"http://" + lookAlike + ":" + std::to_string(site.port()), lookAlike, site.port()},
    };
    for (const auto& [base, host, port] : cases) {
        const Outcome failed = Exchange(base, "/v1/t.php");
        EXPECT_EQ(failed.code, kConnectFailed) << base;
        const auto env = nlohmann::json::parse(failed.body);
        EXPECT_EQ(env["host"], host);
        EXPECT_EQ(env["port"], port);
    }
    EXPECT_EQ(site.Requests("/v1/t.php").size(), 1u) << "the look-alike reached the site";
}

// An IPv6 literal reaches that address and port, names itself in brackets in
// the Host header, and a failed connection's envelope names host and port.
TEST_F(Transport, Ipv6LiteralBaseUrlsConnectToThatAddressAndPort) {
    Site site = service.OpenSite(false, "default", "::1");
    const std::string port = std::to_string(site.port());
    site.Script("/six", Answer(200, "over six"));
    const Outcome o = Exchange("http://[::1]:" + port + "/v2/", "/six");
    EXPECT_EQ(std::tie(o.code, o.status, o.body), std::make_tuple(0, 200u, std::string("over six")));
    ASSERT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(site.Requests()[0].Header("Host"), "[::1]:" + port);

    const int closed = service.ClosedPort();
    const Outcome failed = Exchange("http://[::1]:" + std::to_string(closed), "/six");
    EXPECT_EQ(failed.code, kConnectFailed) << failed.body;
    const auto env = nlohmann::json::parse(failed.body);
    EXPECT_EQ(std::make_tuple(env["base_url"], env["host"], env["port"]),
              std::make_tuple(nlohmann::json("http://[::1]:" + std::to_string(closed)), nlohmann::json("[::1]"),
                              nlohmann::json(closed)));
}

// A connection that is never accepted ends at the connect limit as a connect
// failure, with or without TLS, on both stacks (WinHTTP reports the time-out
// from its send step).
TEST_F(Transport, ConnectionNeverAcceptedIsAConnectFailure) {
    platform::ExchangeRequest request;
    request.host = "127.0.0.1";
    request.port = static_cast<std::uint16_t>(service.UnacceptingPort());
    request.limits.connectMs = 1000;
    request.method = "GET";
    request.target = "/never";
    for (const bool secure : {false, true}) {
        request.secure = secure;
        const platform::ExchangeReply reply = platform::PerformExchange(request);
        EXPECT_EQ(reply.step, platform::ExchangeStep::Connect) << "secure " << secure << ", error " << reply.errorCode;
    }
}

// The resolution override's text, right whether the stack reads its length in
// bytes or in characters: the address, its terminator inside the byte count,
// and nothing read past the buffer when the count is taken as characters.
TEST(PinOption, BufferIsRightInBytesAndInCharacters) {
    for (const std::u16string address : {u"127.0.0.1", u"10.1.2.3", u"", u"255.255.255.255"}) {
        const std::u16string buffer = platform::TextOptionBuffer(address);
        // The length passed is the buffer's size in characters.
        EXPECT_GE(buffer.size() / sizeof(char16_t), address.size() + 1) << "read as bytes, the terminator is cut";
        ASSERT_GT(buffer.size(), address.size());
        EXPECT_EQ(buffer.substr(0, address.size()), address);
        EXPECT_EQ(buffer.find_first_not_of(u'\0', address.size()), std::u16string::npos) << "read as characters";
    }
}

#ifndef _WIN32
// A cracked host that is no host name ("?" or brackets kept in it) goes
// nowhere: a proxy sees no request for the name libcurl would read out of
// the URL text instead.
TEST_F(Transport, OddBaseUrlsConnectOnlyWhereTheyWereCracked) {
    Site proxy = service.OpenSite();
    const std::string port = std::to_string(proxy.port());
    setenv("http_proxy", proxy.BaseUrl().c_str(), 1);
    setenv("no_proxy", "", 1);
    for (const auto& [base, host] :
         {std::pair<std::string, std::string>{"http://127.0.0.1?q=1:" + port, "127.0.0.1?q=1"},
          {"http://h[1]:" + port, "h[1]"}}) {
        const Outcome o = Exchange(base, "/p");
        EXPECT_EQ(o.code, kConnectFailed) << base;
        EXPECT_EQ(nlohmann::json::parse(o.body)["host"], host) << base;
    }
    unsetenv("http_proxy");
    unsetenv("no_proxy");
    EXPECT_TRUE(proxy.Requests().empty());
}
#endif

// The secondary host reaches its site in any letter case, its certificate
// still checked against the name; a base URL without a scheme speaks TLS.
TEST_F(Transport, SecondaryHostReachesItsSiteInAnyLetterCaseWithTheNameChecked) {
    REQUIRE_HTTPS();
    std::string secondary(SecondaryHostName()), upper = secondary;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Site site = service.OpenSite(true);
    site.Script("/p", Answer(200, "pinned", true));
    for (const std::string& name : {secondary, upper}) {
        Outcome o = Exchange("https://" + name + ":" + std::to_string(site.port()) + "/", "/p");
        EXPECT_EQ(o.code, 0) << name << ": " << o.body;
        EXPECT_EQ(o.body, "pinned");
    }
    EXPECT_EQ(site.Requests("/p").at(1).Header("Host"), upper + ":" + std::to_string(site.port()));
    EXPECT_EQ(Exchange("localhost:" + std::to_string(site.port()), "/p").body, "pinned");

    Site wrong = service.OpenSite(true, "wrongname");
    wrong.Script("/p", Answer(200, "must not arrive"));
    EXPECT_EQ(Exchange("https://" + secondary + ":" + std::to_string(wrong.port()), "/p").code, kSendFailed);
    EXPECT_TRUE(wrong.Requests().empty());
}

// A site that asks for an optional client certificate is told there is none
// and answers (WinHTTP first fails the request for want of one).
TEST_F(Transport, OptionalClientCertificateRequestIsAnsweredWithoutOne) {
    REQUIRE_HTTPS();
    Site site = service.OpenSite(true, "askclient");
    site.Script("/c", Answer(200, "no certificate needed"));
    const Outcome o = Exchange(site.BaseUrl("localhost"), "/c");
    EXPECT_EQ(std::tie(o.code, o.status, o.body), std::make_tuple(0, 200u, std::string("no certificate needed")));
    EXPECT_EQ(site.Requests("/c").size(), 1u);
}

// TLS sessions are resumed process-wide, as the Windows TLS layer resumes them,
// though each exchange has a connection of its own; only for the same host and
// port (libcurl's session cache also keys on the TLS settings).
TEST_F(Transport, TlsSessionsResumeOnlyForTheSameHostAndPort) {
    REQUIRE_HTTPS();
    if (UnderWine())
        GTEST_SKIP() << "Wine limit: its TLS layer keeps no client session cache and refuses the certificate "
                        "for an address it names (the Windows one does neither)";
    Site a = service.OpenSite(true), b = service.OpenSite(true);
    const auto resumed = [&](Site& s, const std::string& host) {
        s.Script("/r", Answer(200, "ok"));
        EXPECT_EQ(Exchange(s.BaseUrl(host), "/r").body, "ok") << host;
        const auto got = s.Requests("/r");
        return !got.empty() && got.back().resumed;
    };
    resumed(a, "localhost");
    EXPECT_TRUE(resumed(a, "localhost")) << "not resumed";
    EXPECT_FALSE(resumed(a, "127.0.0.1")) << "another host name";
    EXPECT_FALSE(resumed(b, "localhost")) << "another port";
}
