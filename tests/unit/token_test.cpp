// The bearer token: the two readers of a token answer, and acquisition from
// memory, from the cache file and from the token endpoint across base URLs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/process_lock.h"
#include "api/text.h"
#include "settings/client_settings.h"
#include "temp_folder.h"
#include "testservice_client.h"
#include "token/acquire_token.h"
#include "token/client_token.h"
#include "token/protected_text.h"
#include "token/token_cache.h"

#ifndef _WIN32
#include "platform/posix/key_store.h"
#endif

using namespace movu;
using movu::test::RecordedRequest;
using movu::test::ScriptedResponse;
using movu::test::Site;
using movu::test::TempFolder;
using movu::test::TestService;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t k2030 = 1893456000;       // 2030-01-01T00:00:00Z
constexpr std::int64_t kLast3000 = 32535215999;  // 3000-12-31T23:59:59Z
const std::string kTokenPath = "/v1/client/token.php";

std::optional<std::string> Extract(std::string_view json, std::string_view key) {
    std::string value = "stale";
    if (ExtractJsonString(json, key, value)) return value;
    EXPECT_EQ(value, "") << "a failed search leaves the value empty: " << json;
    return std::nullopt;
}

std::optional<std::int64_t> Iso(std::string_view text) {
    std::int64_t seconds = 777;
    if (ParseIsoTimestamp(text, seconds)) return seconds;
    EXPECT_EQ(seconds, 0) << "a failed read leaves 0: " << text;
    return std::nullopt;
}

}  // namespace

// ---- reading a token answer ------------------------------------------------------------

TEST(ExtractJsonString, TakesTheTextBetweenTheNextTwoQuotesAfterTheWholeQuotedKeyAndColon) {
    const std::string answer = "{\"ok\":true,\"token\":\"abc.DEF-1\",\"expires_at\":\"2030-01-01T00:00:00Z\"}";
    const std::string binary("{\"token\":\"a\0b\xFF\"}", 16);
    const struct {
        std::string json;
        const char* key;
        std::string expected;
    } cases[] = {
        {answer, "token", "abc.DEF-1"},
        {answer, "expires_at", "2030-01-01T00:00:00Z"},
        // A text search: a member without a string value yields the next quoted text.
        {answer, "ok", "token"},
        {"{\"token\":null,\"expires_at\":\"2030-01-01T00:00:00Z\"}", "token", "expires_at"},
        {"{ \"token\" :\t\"x y\" }", "token", "x y"},
        {"{\"token\" \"x\":\"y\"}", "token", "y"},  // quotes before the colon do not count
        {"{\"token\":\"\"}", "token", ""},
        {"{\"token\":\"first\",\"token\":\"second\"}", "token", "first"},
        // Escapes are not undone; an escaped quote ends the value after its backslash.
        {"{\"token\":\"a\\u0041\\/b\"}", "token", "a\\u0041\\/b"},
        {"{\"token\":\"ab\\\"cd\"}", "token", "ab\\"},
        {binary, "token", std::string("a\0b\xFF", 4)},
    };
    for (const auto& c : cases) EXPECT_EQ(Extract(c.json, c.key), c.expected) << c.json;
    for (const char* json :
         {"", "{\"Token\":\"x\"}", "{\"token_type\":\"bearer\",\"access_token\":\"x\"}", "{\"token\"",
          "{\"token\" \"x\"}", "{\"token\":}", "{\"token\":1}", "{\"token\":\"unterminated"}) {
        EXPECT_EQ(Extract(json, "token"), std::nullopt) << json;
    }
}

TEST(ParseIsoTimestamp, ReadsUtcAndNumericOffsetsAndRefusesShortOrMisshapenTexts) {
    for (const char* text :
         {"2030-01-01T00:00:00Z", "2030-01-01T00:00:00", "2030-01-01T00:00:00.123+05:00", "2030-01-01T02:00:00+02:00",
          "2029-12-31T19:00:00-05:00", "2030-01-01T00:00:00Z+05:00", "2030-01-01T02:00:00+02:00[Europe/Paris]"}) {
        EXPECT_EQ(Iso(text), k2030) << text;
    }
    EXPECT_EQ(Iso("2030-01-01T00:00:00+02:00"), 1893448800);  // 2029-12-31T22:00:00Z
    EXPECT_EQ(Iso("2030-01-01T00:00:00+05:30"), k2030 - 19800);

    // The sign counts only at the 20th character; hours and minutes only in
    // a text of 25 characters or more, each as far as it scans.
    EXPECT_EQ(Iso("2030-01-01T00:00:00+0200"), k2030);
    EXPECT_EQ(Iso("2030-01-01T00:00:00-02"), k2030);
    EXPECT_EQ(Iso("2030-01-01T00:00:00+"), k2030);
    EXPECT_EQ(Iso("2030-01-01T00:00:00+02:xx"), k2030 - 7200);
    EXPECT_EQ(Iso("2030-01-01T00:00:00+xx:30"), k2030);

    for (const char* text :
         {"", "2030-01-01T00:00Z", "2030-01-01T00:00:0", "30-01-01T00:00:00Z", "30-01-01T00:00:00+00:00",
          "2030-01-01 00:00:00Z", "2030-01-01t00:00:00Z", "2030/01/01T00:00:00Z", "not a time at all, no"}) {
        EXPECT_EQ(Iso(text), std::nullopt) << text;
    }
}

TEST(ParseIsoTimestamp, CarriesOutOfRangeFieldsOverAndKeepsTo1970Until3000) {
    for (const char* text : {"2029-13-01T00:00:00Z", "2029-12-32T00:00:00Z", "2029-12-31T24:00:00Z",
                             "2029-12-31T23:59:60Z", "2029-12-31T23:60:00Z"}) {
        EXPECT_EQ(Iso(text), k2030) << text;
    }
    EXPECT_EQ(Iso("2030-00-01T00:00:00Z"), k2030 - 31 * 86400);
    EXPECT_EQ(Iso("2030-01-00T00:00:00Z"), k2030 - 86400);
    EXPECT_EQ(Iso("2031--1-01T00:00:00Z"), k2030 + 304 * 86400);  // month -1: November of the year before
    EXPECT_EQ(Iso("2000-02-29T00:00:00Z"), 951868800 - 86400);
    EXPECT_EQ(Iso("2100-02-29T00:00:00Z"), 4107542400);  // 2100 is no leap year: March 1
    EXPECT_EQ(Iso("2028-02-29T12:34:56Z"), 1835440496);

    EXPECT_EQ(Iso("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(Iso("3000-12-31T23:59:59Z"), kLast3000);
    for (const char* text : {"1969-12-31T23:59:59Z", "3001-01-01T00:00:00Z", "3000-12-31T23:59:60Z",
                             "1969-12-31T23:00:00-01:00", "0000-01-01T00:00:00Z"}) {
        EXPECT_EQ(Iso(text), std::nullopt) << text;
    }
    // The bounds hold for the calendar time as written, before the offset.
    EXPECT_EQ(Iso("1970-01-01T00:00:00+01:00"), -3600);
    EXPECT_EQ(Iso("3000-12-31T23:59:59-01:00"), kLast3000 + 3600);
}

TEST(FormatIsoTimestamp, WritesUtcWithTheLetterZThatReadsBackTheSame) {
    EXPECT_EQ(FormatIsoTimestamp(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(FormatIsoTimestamp(k2030), "2030-01-01T00:00:00Z");
    EXPECT_EQ(FormatIsoTimestamp(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(FormatIsoTimestamp(4107542399), "2100-02-28T23:59:59Z");
    EXPECT_EQ(FormatIsoTimestamp(kLast3000), "3000-12-31T23:59:59Z");
    EXPECT_EQ(FormatIsoTimestamp(-1), "1969-12-31T23:59:59Z");
    for (std::int64_t t = 0; t <= kLast3000; t += 7777777) {
        EXPECT_EQ(Iso(FormatIsoTimestamp(t)), t);
        if (HasFailure()) break;
    }
}

// ---- acquisition ------------------------------------------------------------------------

namespace {

const Identity kId{"10001", "MT5", "Broker Ltd", "Live-01", "1.2.3"};

Identity Account(const std::string& account) { return Identity{account, "", "", "", ""}; }

ScriptedResponse Answer(int status, const std::string& body, bool repeat = false) {
    ScriptedResponse r;
    r.status = status;
    r.body = body;
    r.repeat = repeat;
    return r;
}

std::string TokenBody(const std::string& token, const std::string& expiresAt = "2030-01-01T00:00:00Z") {
    return "{\"ok\":true,\"token\":\"" + token + "\",\"expires_at\":\"" + expiresAt + "\"}";
}

// The header lines the token request itself adds, in the order they arrived.
std::vector<std::string> TokenHeaders(const RecordedRequest& r) {
    std::vector<std::string> ours;
    for (const std::string& line : r.header_lines) {
        if (line.rfind("Content-Type:", 0) == 0 || line.rfind("X-", 0) == 0) ours.push_back(line);
    }
    return ours;
}

class TokenAcquisition : public ::testing::Test {
protected:
    TestService& service = TestService::Instance();

    void SetUp() override {
        ASSERT_TRUE(service.available()) << service.error();
#ifndef _WIN32
        platform::SetKeyDirectoryForTests((keys_.path() / "keys").string());
#endif
        ResetSettings();
        Forget();
    }
    void TearDown() override {
        Forget();
        ResetSettings();
#ifndef _WIN32
        platform::SetKeyDirectoryForTests("");
#endif
    }

    static void ResetSettings() {
        std::lock_guard<std::mutex> lock(ProcessLock());
        Settings() = ClientSettings{{}, DefaultPrimaryBaseUrl(), {}, {}};
    }
    static void UseBaseUrls(const std::vector<std::string>& urls) {
        std::string list;
        for (const std::string& u : urls) list += (list.empty() ? "" : ";") + u;
        SetBaseUrls(list);
    }
    void UseCacheFiles() { SetTerminalDataPath(data_.path().string()); }

    static void Forget() {
        std::lock_guard<std::mutex> lock(TokenLock());
        ClearTokenState();
    }
    static void Hold(const std::string& account, const std::string& token, std::int64_t expiry) {
        std::lock_guard<std::mutex> lock(TokenLock());
        TokenState() = ClientToken{token, expiry, account};
    }
    static ClientToken Held() {
        std::lock_guard<std::mutex> lock(TokenLock());
        return TokenState();
    }
    static void SaveFile(const std::string& account, const std::string& token, std::int64_t expiry) {
        std::lock_guard<std::mutex> lock(TokenLock());
        SaveTokenCache(account, token, expiry);
    }
    // The plaintext of the account's cache file, or empty.
    static std::string FilePlaintext(const std::string& account) {
        std::ifstream in(fs::path(TokenCachePath(account)), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string plain;
        if (text.empty() || UnprotectFromText(text, plain) != UnprotectOutcome::Ok) return "";
        return plain;
    }
    static std::string CurrentBaseUrl() { return SnapshotCurrentBaseUrl(); }

    // A site answering the token path as scripted, as the only base URL.
    Site OneSite(const std::vector<ScriptedResponse>& answers) {
        Site site = service.OpenSite();
        site.Script(kTokenPath, answers);
        UseBaseUrls({site.BaseUrl()});
        return site;
    }

    // Keeps the last answer the acquisition hands back in last_.
    std::int32_t Acquire(const Identity& id, std::string& token, std::string_view rejected = {}) {
        token = "stale";
        last_ = "stale";
        return AcquireToken(id, token, rejected, &last_);
    }
    std::string last_;

    TempFolder keys_{"token-keys"}, data_{"token-data"};
};

}  // namespace

TEST_F(TokenAcquisition, FetchesWithTheIdentityHeadersOnlyAndThenAnswersFromMemoryButNotForAnEmptyAccount) {
    Site site = OneSite({Answer(200, TokenBody("tok-1")), Answer(200, TokenBody("tok-2"))});

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0) << last_;
    EXPECT_EQ(token, "tok-1");
    const ClientToken held = Held();
    EXPECT_EQ(held.token, "tok-1");
    EXPECT_EQ(held.expiry, k2030);
    EXPECT_EQ(held.ownerAccount, "10001");
    EXPECT_EQ(CurrentBaseUrl(), site.BaseUrl());

    // The identity lines in their order; verb, target and body are checked through the exports.
    auto got = site.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(TokenHeaders(got[0]),
              (std::vector<std::string>{"Content-Type: application/json", "X-Account: 10001", "X-Platform: MT5",
                                        "X-Broker: Broker Ltd", "X-Server: Live-01", "X-Client-Version: 1.2.3"}));

    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "tok-1");
    EXPECT_EQ(site.Requests().size(), 1u) << "a held token is used without asking again";

    // An empty account asks nobody and keeps the held token.
    EXPECT_EQ(Acquire(Account(""), token), -2);
    EXPECT_EQ(token, "");
    EXPECT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(Held().token, "tok-1");
    EXPECT_EQ(Held().ownerAccount, "10001");

    // Empty identity parts are left out; control characters never end a line.
    ASSERT_EQ(Acquire(Identity{"778", "", "Evil\r\nX-Injected: 1", "", "1.0\x01"}, token), 0);
    got = site.Requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(TokenHeaders(got[1]), (std::vector<std::string>{"Content-Type: application/json", "X-Account: 778",
                                                              "X-Broker: EvilX-Injected: 1", "X-Client-Version: 1.0"}));
}

// Where a token comes from, given what memory and the cache file hold: a
// stored token serves only its own account (byte for byte), only with more
// than 300 seconds left and never when it is the one just refused; otherwise
// the service is asked and its token replaces the file.
TEST_F(TokenAcquisition, AStoredTokenServesOnlyItsOwnAccountWhileFreshAndNotRefused) {
    Site site = OneSite({Answer(200, TokenBody("fetched"), true)});
    UseCacheFiles();
    const std::int64_t now = Now();
    struct Stored {
        const char* account;  // null: nothing held
        const char* token;
        std::int64_t expiry;
    };
    struct Case {
        const char* what;
        Stored memory;
        const char* file;  // B's file; null: none
        std::int64_t fileExpiry;
        const char* rejected;
        const char* expected;
    };
    const Case cases[] = {
        {"another account in memory, no file", {"A", "for-A", k2030}, nullptr, 0, "", "fetched"},
        {"memory of b, own file", {"b", "not-yours", k2030}, "for-B", k2030, "", "for-B"},
        {"memory of 'B ', own file", {"B ", "not-yours", k2030}, "for-B", k2030, "", "for-B"},
        {"exactly 300 s left in memory", {"B", "ending", now + 300}, nullptr, 0, "", "fetched"},
        {"memory near its end, a good file", {"B", "ending", now + 100}, "from-file", k2030, "", "fetched"},
        {"file with 300 s left", {}, "old", now + 300, "", "fetched"},
        {"file long expired", {}, "older", 1000, "", "fetched"},
        {"refused token in memory and file", {"B", "revoked", k2030}, "revoked", k2030, "revoked", "fetched"},
        {"another token in memory", {"B", "good", k2030}, "revoked", k2030, "revoked", "good"},
        {"another token in the file", {}, "good", k2030, "revoked", "good"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Forget();
        fs::remove(fs::path(TokenCachePath("B")));
        if (c.file) SaveFile("B", c.file, c.fileExpiry);
        if (c.memory.account) Hold(c.memory.account, c.memory.token, c.memory.expiry);
        site.ClearRequests();
        std::string token;
        ASSERT_EQ(Acquire(Account("B"), token, c.rejected), 0);
        EXPECT_EQ(token, c.expected);
        EXPECT_EQ(Held().token, c.expected);
        EXPECT_EQ(Held().ownerAccount, "B");
        const bool fetched = std::string(c.expected) == "fetched";
        EXPECT_EQ(site.Requests().size(), fetched ? 1u : 0u);
        if (fetched) EXPECT_NE(FilePlaintext("B").find("\"token\":\"fetched\""), std::string::npos);
    }
}

TEST_F(TokenAcquisition, KeepsAHeldTokenWith301SecondsLeft) {
    Site site = OneSite({Answer(200, TokenBody("fresh"), true)});
    // As long as the clock did not move meanwhile.
    for (int attempt = 0;; ++attempt) {
        const std::int64_t now = Now();
        Hold("10001", "kept", now + 301);
        site.ClearRequests();
        std::string token;
        ASSERT_EQ(Acquire(kId, token), 0);
        if (Now() != now && attempt < 5) continue;
        EXPECT_EQ(token, "kept");
        EXPECT_TRUE(site.Requests().empty());
        break;
    }
}

// A fetched token is kept with its expiry in UTC, even one already past, in
// memory and in the file, which a cleared memory (or a new process) reads.
TEST_F(TokenAcquisition, FetchedTokensAreKeptInUtcEvenWhenAlreadyExpired) {
    Site site = OneSite({Answer(200, TokenBody("tok", "2030-01-01T00:00:00+02:00")),
                         Answer(200, TokenBody("expired", "2001-01-01T00:00:00Z")), Answer(200, TokenBody("next"))});
    UseCacheFiles();
    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(Held().expiry, 1893448800);
    EXPECT_EQ(FilePlaintext("10001"), "{\"ok\":true,\"token\":\"tok\",\"expires_at\":\"2029-12-31T22:00:00Z\"}");
    Forget();
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "tok");
    EXPECT_EQ(Held().ownerAccount, "10001");
    EXPECT_EQ(Held().expiry, 1893448800);
    EXPECT_EQ(site.Requests().size(), 1u);

    // Taken although already expired, but of no use to the next call.
    ASSERT_EQ(Acquire(kId, token, "tok"), 0);
    EXPECT_EQ(token, "expired");
    EXPECT_EQ(Held().expiry, 978307200);
    EXPECT_EQ(FilePlaintext("10001"), "{\"ok\":true,\"token\":\"expired\",\"expires_at\":\"2001-01-01T00:00:00Z\"}");
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "next");
}

// The walk over the base URLs: asked in order (the secondary host first) until
// one answers with a usable token; 401, 429 and 5xx end it at once. A failed
// walk keeps the last answer that had a body for the caller, leaves no token
// and does not move the current base URL.
TEST_F(TokenAcquisition, WalksTheBaseUrlsUntilOneAnswersWithAToken) {
    struct Entry {
        int status;  // 0: a port that refuses; -1: a base URL that cannot be used
        std::string body;
        bool secondary = false;  // named by the secondary host
    };
    struct Case {
        std::string what;
        std::vector<Entry> entries;
        std::int32_t rc;
        std::string token, last;  // last "envelope": the transport's own
        std::vector<std::size_t> asked;
    };
    const std::string bad200[] = {"{\"expires_at\":\"2030-01-01T00:00:00Z\"}",
                                  "{\"token\":\"t\"}",
                                  TokenBody("t", "2030-01-01 00:00:00Z"),
                                  TokenBody("", "2030-01-01T00:00:00Z"),
                                  TokenBody("t", "1970-01-01T00:00:00Z"),
                                  TokenBody("t", "1970-01-01T00:30:00+01:00"),
                                  ""};
    std::vector<Case> cases = {
        {"first with a token",
         {{404, "gone"}, {200, TokenBody("from-u2")}, {200, TokenBody("from-u3")}},
         0,
         "from-u2",
         "",
         {1, 1, 0}},
        {"secondary host first",
         {{200, TokenBody("primary")}, {200, TokenBody("secondary"), true}},
         0,
         "secondary",
         "",
         {0, 1}},
        {"refused port, then a refusal", {{0, ""}, {403, "forbidden"}}, -403, "", "forbidden", {0, 1}},
        {"a refusal, then a refused port", {{403, "forbidden"}, {0, ""}}, -12, "", "envelope", {1, 0}},
        {"unusable base URL last", {{403, "forbidden"}, {-1, ""}}, -10, "", "forbidden", {1, 0}},
        {"later empty answer", {{404, "u1 says no"}, {404, ""}}, -404, "", "u1 says no", {1, 1}},
        {"last 200 without a usable token", {{200, bad200[0]}, {200, ""}}, -200, "", bad200[0], {1, 1}},
        {"no usable token anywhere", {}, -201, "", "{\"token\":null}", {}},
    };
    for (const std::string& body : bad200) cases.back().entries.push_back({200, body});
    cases.back().entries.push_back({201, "{\"token\":null}"});
    cases.back().asked.assign(cases.back().entries.size(), 1);
    for (const auto& [status, rc] : {std::pair{401, -401}, {429, -429}, {500, -500}, {502, -500}, {503, -500}}) {
        cases.push_back({"refusal " + std::to_string(status),
                         {{status, "{\"error\":\"no\"}"}, {200, TokenBody("never")}},
                         rc,
                         "",
                         "{\"error\":\"no\"}",
                         {1, 0}});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Site> sites;
        std::vector<std::string> urls;
        for (const Entry& e : c.entries) {
            sites.push_back(service.OpenSite());
            if (e.status > 0) sites.back().Script(kTokenPath, Answer(e.status, e.body));
            const std::string host = e.secondary ? std::string(SecondaryHostName()) : "127.0.0.1";
            const int port = e.status == 0 ? service.ClosedPort() : sites.back().port();
            urls.push_back(e.status < 0 ? "ftp://127.0.0.1" : "http://" + host + ":" + std::to_string(port));
        }
        UseBaseUrls(urls);
        StoreCurrentBaseUrl("https://untouched.example");
        Hold("10001", "ending", Now() + 10);

        std::string token;
        EXPECT_EQ(Acquire(kId, token), c.rc);
        EXPECT_EQ(token, c.token);
        EXPECT_EQ(Held().token, c.token);
        if (c.last == "envelope")
            EXPECT_EQ(last_.rfind("{\"ok\":false,\"error\":\"WINHTTP_CONNECT_FAILED\"", 0), 0u) << last_;
        else
            EXPECT_EQ(last_, c.last);
        std::size_t answered = 0;
        for (std::size_t i = 0; i < sites.size(); ++i) {
            EXPECT_EQ(sites[i].Requests().size(), c.asked[i]) << "base URL " << i;
            if (c.asked[i]) answered = i;
        }
        EXPECT_EQ(CurrentBaseUrl(), c.rc == 0 ? urls[answered] : "https://untouched.example");
        EXPECT_EQ(SnapshotBaseUrls(), urls) << "the stored list keeps its order";
    }
}

TEST_F(TokenAcquisition, EveryCallHandsBackItsOwnLastAnswer) {
    Site site = OneSite({Answer(404, "no", true)});
    std::string token;
    EXPECT_EQ(Acquire(kId, token), -404);
    EXPECT_EQ(last_, "no");
    EXPECT_EQ(Acquire(Account(""), token), -2);
    EXPECT_EQ(last_, "");
    EXPECT_EQ(Acquire(kId, token), -404);
    Hold("10001", "held", k2030);
    EXPECT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(last_, "");
}

TEST_F(TokenAcquisition, ThreadsAcquiringTogetherAllGetAToken) {
    Site site = OneSite({Answer(200, TokenBody("shared"), true)});
    UseCacheFiles();

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            const Identity id = Account(i % 2 ? "10001" : "20002");
            for (int n = 0; n < 15; ++n) {
                std::string token;
                if (AcquireToken(id, token) != 0 || token != "shared") ++failures;
                if (n % 4 == i % 4) {
                    std::lock_guard<std::mutex> lock(TokenLock());
                    ClearTokenState();
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    const ClientToken held = Held();
    EXPECT_TRUE(held.token.empty() || held.token == "shared");
}
