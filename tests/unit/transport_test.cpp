// One exchange against the local test service: what goes out, what comes
// back, and what a caller is left with when a step fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "api/text.h"
#include "settings/client_settings.h"
#include "testservice_client.h"
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
                 const std::vector<std::string>& lines = {}, const std::string& body = {}) {
    std::vector<std::u16string> wideLines;
    for (const std::string& l : lines) wideLines.push_back(Utf8ToUtf16(l));
    Outcome o;
    o.body = "left over from before";
    o.code = HttpExchange(Utf8ToUtf16(baseUrl), Utf8ToUtf16(target), Utf8ToUtf16(verb), wideLines, body, o.body,
                          o.status);
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
#define REQUIRE_HTTPS()                                                                          \
    if (HttpsUnavailable()) GTEST_SKIP() << "HTTPS under Wine needs a private mount namespace " \
                                            "for the test CA (MOVU_WINE_HTTPS=0)"

std::uint64_t Fnv1a(const std::string& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

// Member names in order; the envelope must be one line of valid JSON.
std::vector<std::string> Members(const nlohmann::ordered_json& j) {
    std::vector<std::string> names;
    for (auto it = j.begin(); it != j.end(); ++it) names.push_back(it.key());
    return names;
}

nlohmann::ordered_json ParseEnvelope(const std::string& body) {
    auto j = nlohmann::ordered_json::parse(body);
    EXPECT_EQ(j.dump(), body) << "not compact, one-line JSON";
    return j;
}

const std::vector<std::string> kConnectMembers{"ok", "error", "win32", "base_url", "host", "port"};

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

TEST_F(Transport, AnyHttpStatusIsAnAnswerWithItsBodyUnchanged) {
    Site site = service.OpenSite();
    const std::string binary("{\"e\":1}\0\xFF\xFE tail", 15);
    site.Script("/a", Answer(404, "not here"));
    site.Script("/a", Answer(500, binary));
    site.Script("/a", Answer(401, ""));

    Outcome o = Exchange(site.BaseUrl(), "/a");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.status, 404u);
    EXPECT_EQ(o.body, "not here");

    o = Exchange(site.BaseUrl(), "/a");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.status, 500u);
    EXPECT_EQ(o.body, binary);

    o = Exchange(site.BaseUrl(), "/a");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.status, 401u);
    EXPECT_EQ(o.body, "");
}

TEST_F(Transport, BodyGoesOutWithItsLengthForEveryVerb) {
    Site site = service.OpenSite();
    ScriptedResponse ok = Answer(200, "ok");
    ok.repeat = true;
    site.Script("/b", ok);

    const std::string binary("x\0y\r\n\xFFz", 7);
    EXPECT_EQ(Exchange(site.BaseUrl(), "/b", "POST", {}, binary).code, 0);
    EXPECT_EQ(Exchange(site.BaseUrl(), "/b", "GET", {}, "{\"q\":1}").code, 0);
    EXPECT_EQ(Exchange(site.BaseUrl(), "/b", "POST", {}, "").code, 0);
    EXPECT_EQ(Exchange(site.BaseUrl(), "/b", "GET", {}, "").code, 0);

    auto got = site.Requests("/b");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].body, binary);
    EXPECT_EQ(got[0].Header("Content-Length"), "7");

    EXPECT_EQ(got[1].method, "GET");
    EXPECT_EQ(got[1].body, "{\"q\":1}");
    EXPECT_EQ(got[1].Header("Content-Length"), "7");

    EXPECT_EQ(got[2].method, "POST");
    EXPECT_EQ(got[2].body, "");
    EXPECT_EQ(got[2].Header("Content-Length"), "0");

    EXPECT_EQ(got[3].method, "GET");
    EXPECT_EQ(got[3].body, "");
    EXPECT_EQ(got[3].HeaderCount("Transfer-Encoding"), 0);
}

TEST_F(Transport, LargeUploadArrivesWholeWithoutWaitingForContinue) {
    Site site = service.OpenSite();
    site.Script("/up", Answer(200, "ok"));
    std::string body = test::GeneratedBody(3 * 1024 * 1024 + 7);
    Outcome o = Exchange(site.BaseUrl(), "/up", "POST", {"Content-Type: application/octet-stream"}, body);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.body, "ok");
    auto got = site.Requests("/up");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.size(), body.size());
    EXPECT_TRUE(got[0].body == body);
    EXPECT_EQ(got[0].HeaderCount("Expect"), 0);
}

TEST_F(Transport, HeaderLinesAreTerminatedOnceAndRequestCarriesOnlyWhatWasAsked) {
    Site site = service.OpenSite();
    site.Script("/h", Answer(200, ""));
    const std::vector<std::string> lines{"X-Ended: 1\r\n", "X-Plain: 2", "Z", "X-Pair-A: 3\r\nX-Pair-B: 4",
                                         "X-Last: 5"};
    ASSERT_EQ(Exchange(site.BaseUrl(), "/h?x=1&y=%20z", "GET", lines).code, 0);

    auto got = site.Requests("/h");
    ASSERT_EQ(got.size(), 1u);
    const auto& r = got[0];
    EXPECT_EQ(r.target, "/h?x=1&y=%20z");
    EXPECT_EQ(r.Header("X-Ended"), "1");
    EXPECT_EQ(r.Header("X-Plain"), "2");
    EXPECT_EQ(r.Header("X-Pair-A"), "3");
    EXPECT_EQ(r.Header("X-Pair-B"), "4");
    EXPECT_EQ(r.Header("X-Last"), "5");
    EXPECT_EQ(r.Header("User-Agent"), "movu-client/1.0");
    // No empty or stray lines from a doubled line end or the one-letter line,
    // and nothing the caller did not ask for beyond the basics.
    for (const std::string& line : r.header_lines) {
        EXPECT_NE(line.find(':'), std::string::npos) << "stray header line '" << line << "'";
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    }
    EXPECT_EQ(r.HeaderCount("Content-Type"), 0);
    EXPECT_EQ(r.HeaderCount("Expect"), 0);
}

TEST_F(Transport, SameHeaderNameAgainReplacesOrRemovesTheEarlierOne) {
    Site site = service.OpenSite();
    site.Script("/r", Answer(200, ""));
    ASSERT_EQ(Exchange(site.BaseUrl(), "/r", "POST",
                       {"Authorization: Bearer old", "Content-Type: application/json", "authorization: Bearer new",
                        "Content-Type: text/plain", "X-Gone: 1", "X-Gone:", "User-Agent: other-agent/2"},
                       "{}")
                  .code,
              0);
    auto got = site.Requests("/r");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].HeaderCount("Authorization"), 1);
    EXPECT_EQ(got[0].Header("Authorization"), "Bearer new");
    EXPECT_EQ(got[0].HeaderCount("Content-Type"), 1);
    EXPECT_EQ(got[0].Header("Content-Type"), "text/plain");
    EXPECT_EQ(got[0].HeaderCount("X-Gone"), 0);  // an empty value removes the earlier header
    EXPECT_EQ(got[0].HeaderCount("User-Agent"), 1);
    EXPECT_EQ(got[0].Header("User-Agent"), "other-agent/2");
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
}

TEST_F(Transport, BaseUrlWithoutSchemeIsHttpsOnPort443) {
    // Port: seen in the envelope of a host that cannot be resolved.
    const std::string host = Unresolvable("noscheme");
    Outcome o = Exchange(host, "/x");
    EXPECT_EQ(o.code, kExchangeConnectFailed);
    auto env = ParseEnvelope(o.body);
    EXPECT_EQ(env["host"], host);
    EXPECT_EQ(env["port"], 443);

    // Scheme: a TLS site answers, a plain site cannot.
    REQUIRE_HTTPS();
    Site tls = service.OpenSite(true);
    tls.Script("/s", Answer(200, "secure"));
    o = Exchange("localhost:" + std::to_string(tls.port()), "/s");
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
    const std::string secondary = Utf16ToUtf8(SecondaryHostName());
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
    EXPECT_EQ(o.code, kExchangeSendFailed);
    EXPECT_EQ(ParseEnvelope(o.body)["error"], "WINHTTP_SEND_FAILED");
}

TEST_F(Transport, NameThatOnlyContainsTheSecondaryHostIsNotPinned) {
    // Pinned, this would reach the plain site on the loopback address.
    Site site = service.OpenSite();
    site.Script("/p", Answer(200, "must not arrive"));
    const std::string lookAlike = Unresolvable(Utf16ToUtf8(SecondaryHostName()));
    Outcome o = Exchange("http://" + lookAlike + ":" + std::to_string(site.port()), "/p");
    EXPECT_EQ(o.code, kExchangeConnectFailed) << o.body;
    EXPECT_EQ(o.status, 0u);
    EXPECT_TRUE(site.Requests().empty());
}

TEST_F(Transport, RefusedConnectionGivesConnectEnvelopeWithPort) {
    const int port = service.ClosedPort();
    const std::string base = " http://127.0.0.1:" + std::to_string(port) + "/q\"uo\\te ";
    Outcome o = Exchange(base, "/v1/client/token.php");
    EXPECT_EQ(o.code, kExchangeConnectFailed);
    EXPECT_EQ(o.status, 0u);
    auto env = ParseEnvelope(o.body);
    EXPECT_EQ(Members(env), kConnectMembers);
    EXPECT_EQ(env["ok"], false);
    EXPECT_EQ(env["error"], "WINHTTP_CONNECT_FAILED");
    EXPECT_TRUE(env["win32"].is_number_unsigned());
    EXPECT_NE(env["win32"], 0);
    EXPECT_EQ(env["base_url"], base);  // as given: untrimmed, quote and backslash intact
    EXPECT_EQ(env["host"], "127.0.0.1");
    EXPECT_EQ(env["port"], port);
}

TEST_F(Transport, UnusableBaseUrlLeavesNothing) {
    for (const std::string& base : {std::string(), std::string("   "), std::string("ftp://127.0.0.1"),
                                    std::string("https://"), std::string("h/x?u=a://b")}) {
        Outcome o = Exchange(base, "/x");
        EXPECT_EQ(o.code, kExchangeBadBaseUrl) << "'" << base << "'";
        EXPECT_EQ(o.body, "") << "'" << base << "'";
        EXPECT_EQ(o.status, 0u);
    }
}

TEST_F(Transport, FiftyMebibyteAnswerArrivesWhole) {
    Site site = service.OpenSite();
    const std::size_t size = 50u * 1024 * 1024;
    ScriptedResponse r;
    r.body_size = size;
    site.Script("/big", r);
    Outcome o = Exchange(site.BaseUrl(), "/big");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.status, 200u);
    ASSERT_EQ(o.body.size(), size);
    EXPECT_EQ(Fnv1a(o.body), Fnv1a(test::GeneratedBody(size)));
}

TEST_F(Transport, ExchangesOnManyThreadsStayApart) {
    Site site = service.OpenSite();
    constexpr int kThreads = 6, kEach = 4;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) site.Script("/c" + std::to_string(t), Answer(200, "answer-" + std::to_string(t)));
    }
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                Outcome o = Exchange(site.BaseUrl(), "/c" + std::to_string(t), "POST", {}, std::to_string(t));
                if (o.code != 0 || o.body != "answer-" + std::to_string(t)) failures[t] += o.body + "; ";
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
    for (int t = 0; t < kThreads; ++t) {
        for (const auto& r : site.Requests("/c" + std::to_string(t))) EXPECT_EQ(r.body, std::to_string(t));
    }
}
