// The bearer token: the two readers of a token answer, and acquisition from
// memory, from the cache file and from the token endpoint across base URLs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/process_lock.h"
#include "settings/client_settings.h"
#include "temp_folder.h"
#include "test_hooks.h"
#include "testservice_client.h"
#include "token/acquire_token.h"
#include "token/client_token.h"
#include "token/token_cache.h"

#ifndef _WIN32
#include "platform/posix/key_store.h"
#endif

using namespace movu;
using namespace movu::test;

namespace {

constexpr std::int64_t k2030 = 1893456000;       // 2030-01-01T00:00:00Z
constexpr std::int64_t kLast3000 = 32535215999;  // 3000-12-31T23:59:59Z

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

TEST(ExtractJsonString, TakesTheTextBetweenTheNextTwoQuotesAfterTheWholeQuotedKeyAndColon) {
    const std::string answer = "{\"ok\":true,\"token\":\"abc.DEF-1\",\"expires_at\":\"2030-01-01T00:00:00Z\"}";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {answer, "abc.DEF-1"},
        {"{\"token\":null,\"expires_at\":\"x\"}", "expires_at"},  // a text search: the next quoted text
        {"{ \"token\" :\t\"x\":\"y\" }", "x"}, {"{\"token\" \"x\":\"y\"}", "y"},  // quotes before the colon do not count
        {"{\"token\":\"ab\\\"cd\"}", "ab\\"},  // escapes are not undone
        {std::string("{\"token\":\"a\0b\xFF\"}", 16), std::string("a\0b\xFF", 4)},
    };
    // clang-format on
    for (const auto& [json, expected] : cases) EXPECT_EQ(Extract(json, "token"), expected) << json;
    for (const char* json : {"", "{\"Token\":\"x\"}", "{\"access_token\":\"x\"}", "{\"token\" \"x\"}", "{\"token\":1}"})
        EXPECT_EQ(Extract(json, "token"), std::nullopt) << json;
}

TEST(IsoTimestamp, ReadsOffsetsCarriesFieldsOverKeepsTo1970Until3000AndWritesUtc) {
    // clang-format off
    const std::pair<const char*, std::int64_t> cases[] = {
        {"2030-01-01T00:00:00Z", k2030}, {"2030-01-01T00:00:00", k2030},
        {"2030-01-01T00:00:00.123+05:00", k2030}, {"2029-12-31T19:00:00-05:00", k2030},
        {"2030-01-01T00:00:00+02:00", k2030 - 7200}, {"2030-01-01T00:00:00+05:30", k2030 - 19800},
        // The sign counts only at the 20th character; hours and minutes only in
        // a text of 25 characters or more, each as far as it scans.
        {"2030-01-01T00:00:00+0200", k2030}, {"2030-01-01T00:00:00+02:xx", k2030 - 7200},
        {"2030-01-01T00:00:00+xx:30", k2030},
        {"2029-12-31T24:00:00Z", k2030}, {"2029-12-32T00:00:00Z", k2030}, {"2029-13-01T00:00:00Z", k2030},
        {"2030-00-01T00:00:00Z", k2030 - 31 * 86400}, {"2031--1-01T00:00:00Z", k2030 + 304 * 86400},
        {"2100-02-29T00:00:00Z", 4107542400}, {"2028-02-29T12:34:56Z", 1835440496},
        {"1970-01-01T00:00:00Z", 0}, {"3000-12-31T23:59:59Z", kLast3000},
        // The bounds hold for the calendar time as written, before the offset.
        {"1970-01-01T00:00:00+01:00", -3600}, {"3000-12-31T23:59:59-01:00", kLast3000 + 3600},
    };
    // clang-format on
    for (const auto& [text, seconds] : cases) EXPECT_EQ(Iso(text), seconds) << text;
    for (const char* text : {"", "2030-01-01T00:00Z", "30-01-01T00:00:00+00:00", "2030-01-01 00:00:00Z",
                             "2030/01/01T00:00:00Z", "1969-12-31T23:59:59Z", "3000-12-31T23:59:60Z"})
        EXPECT_EQ(Iso(text), std::nullopt) << text;
    // Written back in UTC with the letter Z.
    EXPECT_EQ(FormatIsoTimestamp(-1), "1969-12-31T23:59:59Z");
    for (std::int64_t t = 0; t <= kLast3000 && !HasFailure(); t += 7777777) EXPECT_EQ(Iso(FormatIsoTimestamp(t)), t);
}

// ---- acquisition ------------------------------------------------------------------------

namespace {

Identity Account(const std::string& account) { return Identity{account, "", "", "", ""}; }

std::string TokenBody(const std::string& token, const std::string& expiresAt = "2030-01-01T00:00:00Z") {
    return "{\"ok\":true,\"token\":\"" + token + "\",\"expires_at\":\"" + expiresAt + "\"}";
}

void Hold(const std::string& account, const std::string& token, std::int64_t expiry) {
    std::lock_guard<std::mutex> lock(TokenLock());
    TokenState() = ClientToken{token, expiry, account};
}

ClientToken Held() {
    std::lock_guard<std::mutex> lock(TokenLock());
    return TokenState();
}

class TokenAcquisition : public ::testing::Test {
protected:
    TestService& service = TestService::Instance();

    void SetUp() override {
        ASSERT_TRUE(service.available()) << service.error();
#ifndef _WIN32
        platform::SetKeyDirectoryForTests((keys_.path() / "keys").string());
#endif
        Reset();
    }
    void TearDown() override {
        Reset();
#ifndef _WIN32
        platform::SetKeyDirectoryForTests("");
#endif
    }
    static void Reset() {
        Hold("", "", 0);
        std::lock_guard<std::mutex> lock(ProcessLock());
        Settings() = ClientSettings{{}, MakeBaseUrl(DefaultPrimaryBaseUrl()), {}, {}};
    }
    // A site answering the token path as scripted, as the only base URL.
    Site OneSite(const std::vector<ScriptedResponse>& answers) {
        Site site = service.OpenSite();
        site.Script(kTokenPath, answers);
        SetBaseUrls(site.BaseUrl());
        return site;
    }
    // Keeps the last answer the acquisition hands back in last_.
    std::int32_t Acquire(const Identity& id, std::string& token, std::string_view rejected = {}) {
        token = last_ = "stale";
        return AcquireToken(id, token, rejected, &last_);
    }
    std::string last_;
    TempFolder keys_{"token-keys"}, data_{"token-data"};
};

}  // namespace

// Where a token comes from, given what memory and the cache file hold: a
// stored token serves only its own account (byte for byte), only with more
// than 300 seconds left and never when it is the one just refused; otherwise
// the service is asked and its token replaces the file.
TEST_F(TokenAcquisition, AStoredTokenServesOnlyItsOwnAccountWhileFreshAndNotRefused) {
    Site site = OneSite({Answer(200, TokenBody("fetched"), true)});
    SetTerminalDataPath(data_.path().string());
    constexpr std::int64_t kFar = 100000000;
    struct Case {
        const char* what;
        const char *memAccount, *memToken;  // null: nothing held
        std::int64_t memLeft;               // seconds
        const char* file;                   // B's file; null: none
        std::int64_t fileLeft;
        const char *rejected, *expected;
    };
    // clang-format off
    const Case cases[] = {
        {"memory of 'B ', own file", "B ", "not-yours", kFar, "for-B", kFar, "", "for-B"},
        {"memory of b, no file", "b", "not-yours", kFar, nullptr, 0, "", "fetched"},
        {"301 s left in memory", "B", "kept", 301, nullptr, 0, "", "kept"},
        {"exactly 300 s left in memory", "B", "ending", 300, nullptr, 0, "", "fetched"},
        {"memory near its end, a good file", "B", "ending", 100, "from-file", kFar, "", "fetched"},
        {"file with 300 s left", nullptr, nullptr, 0, "old", 300, "", "fetched"},
        {"refused token in memory and file", "B", "revoked", kFar, "revoked", kFar, "revoked", "fetched"},
        {"another token in memory", "B", "good", kFar, "revoked", kFar, "revoked", "good"},
        {"another token in the file", nullptr, nullptr, 0, "good", kFar, "revoked", "good"},
        {"a file's token that is not UTF-8", nullptr, nullptr, 0, "c\xC3", kFar, "", "c\xEF\xBF\xBD"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string token;
        for (int attempt = 0; attempt < 5; ++attempt) {  // as long as the clock did not move meanwhile
            const std::int64_t now = Now();
            Hold(c.memAccount ? c.memAccount : "", c.memToken ? c.memToken : "", now + c.memLeft);
            std::filesystem::remove(TokenCachePath("B"));
            if (c.file) {
                std::lock_guard<std::mutex> lock(TokenLock());
                SaveTokenCache("B", c.file, now + c.fileLeft);
            }
            site.ClearRequests();
            ASSERT_EQ(Acquire(Account("B"), token, c.rejected), 0);
            if (Now() == now) break;
        }
        EXPECT_EQ(Held().token + " " + Held().ownerAccount, std::string(c.expected) + " B");
        EXPECT_EQ(token, c.expected);
        const bool fetched = std::string(c.expected) == "fetched";
        EXPECT_EQ(site.Requests().size(), fetched ? 1u : 0u);
        std::lock_guard<std::mutex> lock(TokenLock());  // a fetched token replaced the file
        EXPECT_TRUE(!fetched || (LoadTokenCache("B") && TokenState().token == "fetched"));
    }
}

// A fetched token that is not UTF-8 is held and sent as valid UTF-8.
TEST_F(TokenAcquisition, AFetchedTokenIsMadeValidUtf8WhereItArrives) {
    Site site = OneSite({Answer(200, TokenBody("f\xFF!"))});
    std::string token;
    ASSERT_EQ(Acquire(Account("B"), token), 0);
    EXPECT_EQ(token, "f\xEF\xBF\xBD!");
    EXPECT_EQ(Held().token, token);
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
    const std::string noExpiry = "{\"token\":\"t\"}", tooOld = TokenBody("t", "1970-01-01T00:30:00+01:00"),
                      no = "{\"error\":\"no\"}", never = TokenBody("never");
    // clang-format off
    const Case cases[] = {
        {"first with a token", {{404, "gone"}, {200, TokenBody("from-u2")}, {200, TokenBody("u3")}}, 0, "from-u2", "", {1, 1, 0}},
        {"secondary host first", {{200, TokenBody("primary")}, {200, TokenBody("secondary"), true}}, 0, "secondary", "", {0, 1}},
        {"refused port, then a refusal", {{0, ""}, {403, "forbidden"}}, -403, "", "forbidden", {0, 1}},
        {"a refusal, then a refused port", {{403, "forbidden"}, {0, ""}}, -12, "", "envelope", {1, 0}},
        {"unusable base URL last", {{403, "forbidden"}, {-1, ""}}, -10, "", "forbidden", {1, 0}},
        {"an expired token is taken all the same", {{200, TokenBody("old", "2001-01-01T00:00:00Z")}}, 0, "old", "", {1}},
        {"later empty answer", {{404, "u1 says no"}, {404, ""}}, -404, "", "u1 says no", {1, 1}},
        {"no usable token anywhere", {{200, noExpiry}, {200, tooOld}, {201, "{}"}}, -201, "", "{}", {1, 1, 1}},
        {"refusal 401", {{401, no}, {200, never}}, -401, "", no, {1, 0}},
        {"refusal 429", {{429, no}, {200, never}}, -429, "", no, {1, 0}},
        {"refusal 500", {{500, no}, {200, never}}, -500, "", no, {1, 0}},
        {"refusal 503", {{503, no}, {200, never}}, -500, "", no, {1, 0}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Site> sites;
        std::vector<std::string> urls;
        std::string list;
        for (const Entry& e : c.entries) {
            sites.push_back(service.OpenSite());
            if (e.status > 0) sites.back().Script(kTokenPath, Answer(e.status, e.body));
            const std::string host = e.secondary ? std::string(SecondaryHostName()) : "127.0.0.1";
            const int port = e.status == 0 ? service.ClosedPort() : sites.back().port();
            urls.push_back(e.status < 0 ? "ftp://127.0.0.1" : "http://" + host + ":" + std::to_string(port));
            list += urls.back() + ";";
        }
        SetBaseUrls(list);
        StoreCurrentBaseUrl(MakeBaseUrl("https://untouched.example"));
        Hold("10001", "ending", Now() + 10);

        std::string token;
        EXPECT_EQ(Acquire(Account("10001"), token), c.rc);
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
        EXPECT_EQ(SnapshotCurrentBaseUrl().text, c.rc == 0 ? urls[answered] : "https://untouched.example");
        EXPECT_EQ(SnapshotBaseUrls(), urls) << "the stored list keeps its order";
    }
}

TEST_F(TokenAcquisition, ThreadsAcquiringTogetherAllGetAToken) {
    Site site = OneSite({Answer(200, TokenBody("shared"), true)});
    SetTerminalDataPath(data_.path().string());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 15; ++n) {
                std::string token;
                if (AcquireToken(Account(i % 2 ? "10001" : "20002"), token) != 0 || token != "shared") ++failures;
                if (n % 4 == i % 4) Hold("", "", 0);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(Held().token.empty() || Held().token == "shared");
}
