// The bearer token: the two readers of a token answer, and acquisition from
// memory, from the cache file and from the token endpoint across base URLs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
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
using movu::test::TempFolder;
using movu::test::RecordedRequest;
using movu::test::ScriptedResponse;
using movu::test::Site;
using movu::test::TestService;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t k2030 = 1893456000;  // 2030-01-01T00:00:00Z
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
    for (const char* json : {"", "{\"Token\":\"x\"}", "{\"token_type\":\"bearer\",\"access_token\":\"x\"}",
                             "{\"token\"", "{\"token\" \"x\"}", "{\"token\":}", "{\"token\":1}",
                             "{\"token\":\"unterminated"}) {
        EXPECT_EQ(Extract(json, "token"), std::nullopt) << json;
    }
}

TEST(ParseIsoTimestamp, ReadsUtcAndNumericOffsetsAndRefusesShortOrMisshapenTexts) {
    for (const char* text : {"2030-01-01T00:00:00Z", "2030-01-01T00:00:00", "2030-01-01T00:00:00.123+05:00",
                             "2030-01-01T02:00:00+02:00", "2029-12-31T19:00:00-05:00",
                             "2030-01-01T00:00:00Z+05:00", "2030-01-01T02:00:00+02:00[Europe/Paris]"}) {
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

    for (const char* text : {"", "2030-01-01T00:00Z", "2030-01-01T00:00:0", "30-01-01T00:00:00Z",
                             "30-01-01T00:00:00+00:00", "2030-01-01 00:00:00Z", "2030-01-01t00:00:00Z",
                             "2030/01/01T00:00:00Z", "not a time at all, no"}) {
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

const IdentityUtf8 kId{"10001", "MT5", "Broker Ltd", "Live-01", "1.2.3"};

IdentityUtf8 Account(const std::string& account) { return IdentityUtf8{account, "", "", "", ""}; }

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
        TakeLastTokenResponse();
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
        SetBaseUrls(Utf8ToUtf16(list));
    }
    void UseCacheFiles() { SetTerminalDataPath(data_.path().u16string()); }

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
    static std::string CurrentBaseUrl() { return Utf16ToUtf8(SnapshotCurrentBaseUrl()); }

    // A site answering the token path as scripted, as the only base URL.
    Site OneSite(const std::vector<ScriptedResponse>& answers) {
        Site site = service.OpenSite();
        site.Script(kTokenPath, answers);
        UseBaseUrls({site.BaseUrl()});
        return site;
    }

    static std::int32_t Acquire(const IdentityUtf8& id, std::string& token, std::string_view rejected = {}) {
        token = "stale";
        return AcquireToken(id, token, rejected);
    }

    TempFolder keys_{"token-keys"}, data_{"token-data"};
};

}  // namespace

TEST_F(TokenAcquisition, FetchesWithTheIdentityHeadersOnlyAndThenAnswersFromMemoryButNotForAnEmptyAccount) {
    Site site = OneSite({Answer(200, TokenBody("tok-1"))});

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0) << TakeLastTokenResponse();
    EXPECT_EQ(token, "tok-1");
    const ClientToken held = Held();
    EXPECT_EQ(held.token, "tok-1");
    EXPECT_EQ(held.expiry, k2030);
    EXPECT_EQ(held.ownerAccount, "10001");
    EXPECT_EQ(CurrentBaseUrl(), site.BaseUrl());

    auto got = site.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "GET");
    EXPECT_EQ(got[0].target, kTokenPath);
    EXPECT_EQ(got[0].body, "");
    EXPECT_EQ(TokenHeaders(got[0]),
              (std::vector<std::string>{"Content-Type: application/json", "X-Account: 10001", "X-Platform: MT5",
                                        "X-Broker: Broker Ltd", "X-Server: Live-01", "X-Client-Version: 1.2.3"}));
    EXPECT_EQ(got[0].HeaderCount("Authorization"), 0);

    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "tok-1");
    EXPECT_EQ(site.Requests().size(), 1u) << "a held token is used without asking again";

    // An empty account asks nobody and keeps the held token.
    EXPECT_EQ(Acquire(Account(""), token), -2);
    EXPECT_EQ(token, "");
    EXPECT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(Held().token, "tok-1");
    EXPECT_EQ(Held().ownerAccount, "10001");
}

TEST_F(TokenAcquisition, LeavesOutEmptyIdentityPartsAndControlCharacters) {
    Site site = OneSite({Answer(200, TokenBody("t"), true)});

    std::string token;
    ASSERT_EQ(Acquire(Account("777"), token), 0);
    ASSERT_EQ(Acquire(IdentityUtf8{"778", "", "Evil\r\nX-Injected: 1", "", "1.0\x01"}, token), 0);

    auto got = site.Requests(kTokenPath);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(TokenHeaders(got[0]), (std::vector<std::string>{"Content-Type: application/json", "X-Account: 777"}));
    EXPECT_EQ(TokenHeaders(got[1]), (std::vector<std::string>{"Content-Type: application/json", "X-Account: 778",
                                                              "X-Broker: EvilX-Injected: 1", "X-Client-Version: 1.0"}));
    EXPECT_EQ(got[1].HeaderCount("X-Injected"), 0);
}

TEST_F(TokenAcquisition, AnotherAccountsTokenIsNeverHandedOver) {
    Site site = OneSite({Answer(200, TokenBody("for-B"))});
    UseCacheFiles();

    // Memory holds A's token; B has neither memory nor a file.
    Hold("A", "for-A", k2030);
    std::string token;
    ASSERT_EQ(Acquire(Account("B"), token), 0);
    EXPECT_EQ(token, "for-B");
    auto got = site.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Header("X-Account"), "B");
    EXPECT_EQ(Held().ownerAccount, "B");

    // Accounts are told apart byte for byte; B's own file answers for B.
    for (const char* other : {"b", "B ", "A"}) {
        Hold(other, "not-yours", k2030);
        ASSERT_EQ(Acquire(Account("B"), token), 0) << other;
        EXPECT_EQ(token, "for-B") << other;
        EXPECT_EQ(Held().ownerAccount, "B");
    }
    EXPECT_EQ(site.Requests().size(), 1u);
}

TEST_F(TokenAcquisition, KeepsAHeldTokenWithMoreThan300SecondsLeftOnly) {
    Site site = OneSite({Answer(200, TokenBody("fresh"), true)});
    std::string token;

    // Exactly 300 seconds left: renewed (a later second only makes it less).
    Hold("10001", "ending", Now() + 300);
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "fresh");
    EXPECT_EQ(site.Requests().size(), 1u);

    // 301 seconds left: kept, as long as the clock did not move meanwhile.
    for (int attempt = 0;; ++attempt) {
        const std::int64_t now = Now();
        Hold("10001", "kept", now + 301);
        site.ClearRequests();
        ASSERT_EQ(Acquire(kId, token), 0);
        if (Now() != now && attempt < 5) continue;
        EXPECT_EQ(token, "kept");
        EXPECT_TRUE(site.Requests().empty());
        break;
    }
}

TEST_F(TokenAcquisition, TokensNearOrPastTheirExpiryGoToTheServiceAndTheCacheFileIsOverwritten) {
    Site site = OneSite({Answer(200, TokenBody("from-service", "2031-01-01T00:00:00Z")), Answer(200, TokenBody("new-1")),
                         Answer(200, TokenBody("new-2"))});
    UseCacheFiles();
    SaveFile("10001", "from-file", k2030);
    Hold("10001", "ending", Now() + 100);

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "from-service");
    EXPECT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(FilePlaintext("10001"),
              "{\"ok\":true,\"token\":\"from-service\",\"expires_at\":\"2031-01-01T00:00:00Z\"}");

    // Only in the cache file, near or past its expiry.
    Forget();
    SaveFile("10001", "old", Now() + 300);
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "new-1");
    Forget();
    SaveFile("10001", "older", 1000);
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "new-2");
    EXPECT_NE(FilePlaintext("10001").find("\"token\":\"new-2\""), std::string::npos);
    EXPECT_EQ(site.Requests().size(), 3u);
}

TEST_F(TokenAcquisition, CacheFileAnswersOnceMemoryIsClearedAndFetchedTokensAreWrittenInUtc) {
    Site site = OneSite({Answer(200, TokenBody("tok", "2030-01-01T00:00:00+02:00"))});
    UseCacheFiles();

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(Held().expiry, 1893448800);
    EXPECT_EQ(FilePlaintext("10001"), "{\"ok\":true,\"token\":\"tok\",\"expires_at\":\"2029-12-31T22:00:00Z\"}");

    // A process that starts afresh, or a cleared memory, reads the file.
    Forget();
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "tok");
    EXPECT_EQ(Held().ownerAccount, "10001");
    EXPECT_EQ(Held().expiry, 1893448800);
    EXPECT_EQ(site.Requests().size(), 1u);
}

TEST_F(TokenAcquisition, RenewalPassesOverTheRejectedTokenInMemoryAndInTheFileAndLeavesNoneWhenItFails) {
    Site site = OneSite({Answer(200, TokenBody("new-1")), Answer(200, TokenBody("new-2")), Answer(503, "busy")});
    UseCacheFiles();
    std::string token;

    // After a 401 the memory is cleared but the file still holds the token.
    SaveFile("10001", "revoked", k2030);
    ASSERT_EQ(Acquire(kId, token, "revoked"), 0);
    EXPECT_EQ(token, "new-1");
    EXPECT_EQ(Held().token, "new-1");
    EXPECT_NE(FilePlaintext("10001").find("\"token\":\"new-1\""), std::string::npos);

    // Another thread may have read it back from the file meanwhile.
    SaveFile("10001", "revoked", k2030);
    Hold("10001", "revoked", k2030);
    ASSERT_EQ(Acquire(kId, token, "revoked"), 0);
    EXPECT_EQ(token, "new-2");
    EXPECT_EQ(site.Requests().size(), 2u);

    // Any other usable token still answers without a request.
    ASSERT_EQ(Acquire(kId, token, "revoked"), 0);
    EXPECT_EQ(token, "new-2");
    Forget();
    ASSERT_EQ(Acquire(kId, token, "revoked"), 0);
    EXPECT_EQ(token, "new-2");
    EXPECT_EQ(site.Requests().size(), 2u);

    // A renewal that fails leaves no token in memory.
    SaveFile("10001", "revoked", k2030);
    Hold("10001", "revoked", k2030);
    EXPECT_EQ(Acquire(kId, token, "revoked"), -500);
    EXPECT_EQ(token, "");
    EXPECT_EQ(Held().token, "");
    EXPECT_EQ(Held().ownerAccount, "");
    EXPECT_EQ(TakeLastTokenResponse(), "busy");
}

TEST_F(TokenAcquisition, WalksTheBaseUrlsUntilOneAnswersWithAToken) {
    Site u1 = service.OpenSite(), u2 = service.OpenSite(), u3 = service.OpenSite();
    u1.Script(kTokenPath, Answer(404, "gone"));
    u2.Script(kTokenPath, Answer(200, TokenBody("from-u2")));
    u3.Script(kTokenPath, Answer(200, TokenBody("from-u3")));
    UseBaseUrls({u1.BaseUrl(), u2.BaseUrl(), u3.BaseUrl()});

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "from-u2");
    EXPECT_EQ(CurrentBaseUrl(), u2.BaseUrl());
    EXPECT_EQ(TakeLastTokenResponse(), "") << "success leaves no answer behind";
    EXPECT_EQ(u1.Requests().size(), 1u);
    EXPECT_EQ(u2.Requests().size(), 1u);
    EXPECT_TRUE(u3.Requests().empty());
    EXPECT_EQ(SnapshotBaseUrls().size(), 3u);
    EXPECT_EQ(Utf16ToUtf8(SnapshotBaseUrls()[0]), u1.BaseUrl());
}

TEST_F(TokenAcquisition, RefusalsAndServerErrorsEndTheWalkAtOnce) {
    const struct {
        int status;
        std::int32_t code;
    } cases[] = {{401, -401}, {429, -429}, {500, -500}, {503, -500}, {502, -500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        Site u1 = service.OpenSite(), u2 = service.OpenSite();
        u1.Script(kTokenPath, Answer(c.status, "{\"error\":\"no\"}"));
        u2.Script(kTokenPath, Answer(200, TokenBody("never")));
        UseBaseUrls({u1.BaseUrl(), u2.BaseUrl()});
        StoreCurrentBaseUrl(u"https://untouched.example");
        Hold("10001", "ending", Now() + 10);

        std::string token;
        EXPECT_EQ(Acquire(kId, token), c.code);
        EXPECT_EQ(token, "");
        EXPECT_TRUE(u2.Requests().empty());
        EXPECT_EQ(TakeLastTokenResponse(), "{\"error\":\"no\"}");
        EXPECT_EQ(Held().token, "");
        EXPECT_EQ(CurrentBaseUrl(), "https://untouched.example");
    }
}

TEST_F(TokenAcquisition, OtherFailuresTakeTheResultOfTheLastBaseUrlTried) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(service.ClosedPort());
    Site site = service.OpenSite();
    site.Script(kTokenPath, Answer(403, "forbidden", true));
    std::string token;

    UseBaseUrls({refused, site.BaseUrl()});
    EXPECT_EQ(Acquire(kId, token), -403);
    EXPECT_EQ(TakeLastTokenResponse(), "forbidden");

    UseBaseUrls({site.BaseUrl(), refused});
    EXPECT_EQ(Acquire(kId, token), -12);
    const std::string envelope = TakeLastTokenResponse();
    EXPECT_EQ(envelope.rfind("{\"ok\":false,\"error\":\"WINHTTP_CONNECT_FAILED\"", 0), 0u) << envelope;

    // A base URL that cannot be used at all leaves the earlier answer.
    UseBaseUrls({site.BaseUrl(), "ftp://127.0.0.1"});
    EXPECT_EQ(Acquire(kId, token), -10);
    EXPECT_EQ(TakeLastTokenResponse(), "forbidden");
    EXPECT_EQ(token, "");
}

TEST_F(TokenAcquisition, UnusableTokenAnswersMoveOnAndEndInMinusTheStatus) {
    const std::vector<std::string> bodies = {
        "{\"expires_at\":\"2030-01-01T00:00:00Z\"}",
        "{\"token\":\"t\"}",
        TokenBody("t", "2030-01-01 00:00:00Z"),
        TokenBody("", "2030-01-01T00:00:00Z"),
        TokenBody("t", "1970-01-01T00:00:00Z"),
        TokenBody("t", "1970-01-01T00:30:00+01:00"),
        "",
    };
    std::vector<Site> sites;
    std::vector<std::string> urls;
    for (const std::string& body : bodies) {
        sites.push_back(service.OpenSite());
        sites.back().Script(kTokenPath, Answer(200, body));
        urls.push_back(sites.back().BaseUrl());
    }
    sites.push_back(service.OpenSite());
    sites.back().Script(kTokenPath, Answer(201, "{\"token\":null}"));
    urls.push_back(sites.back().BaseUrl());
    UseBaseUrls(urls);

    std::string token;
    EXPECT_EQ(Acquire(kId, token), -201);
    EXPECT_EQ(token, "");
    for (const Site& s : sites) EXPECT_EQ(s.Requests().size(), 1u);
    EXPECT_EQ(TakeLastTokenResponse(), "{\"token\":null}");
    EXPECT_EQ(Held().token, "");

    // The last one answering 200 without a usable token gives -200.
    UseBaseUrls({urls[0], urls[6]});
    sites[0].Script(kTokenPath, Answer(200, bodies[0]));
    sites[6].Script(kTokenPath, Answer(200, ""));
    EXPECT_EQ(Acquire(kId, token), -200);
    EXPECT_EQ(TakeLastTokenResponse(), bodies[0]) << "an empty answer does not wipe an earlier one";
}

TEST_F(TokenAcquisition, TokenThatHasAlreadyExpiredIsStillTakenFromTheService) {
    Site site = OneSite({Answer(200, TokenBody("stale-but-new", "2001-01-01T00:00:00Z")), Answer(200, TokenBody("next"))});
    UseCacheFiles();

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "stale-but-new");
    EXPECT_EQ(Held().expiry, 978307200);
    EXPECT_NE(FilePlaintext("10001").find("2001-01-01T00:00:00Z"), std::string::npos);
    // It is of no use to the next call.
    ASSERT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(token, "next");
}

TEST_F(TokenAcquisition, AsksBaseUrlsNamingTheSecondaryHostFirst) {
    Site primary = service.OpenSite(), secondary = service.OpenSite();
    primary.Script(kTokenPath, Answer(200, TokenBody("primary")));
    secondary.Script(kTokenPath, Answer(200, TokenBody("secondary")));
    const std::string secondaryUrl =
        "http://" + Utf16ToUtf8(SecondaryHostName()) + ":" + std::to_string(secondary.port());
    UseBaseUrls({primary.BaseUrl(), secondaryUrl});

    std::string token;
    ASSERT_EQ(Acquire(kId, token), 0) << TakeLastTokenResponse();
    EXPECT_EQ(token, "secondary");
    EXPECT_TRUE(primary.Requests().empty());
    EXPECT_EQ(CurrentBaseUrl(), secondaryUrl);
    EXPECT_EQ(Utf16ToUtf8(SnapshotBaseUrls()[0]), primary.BaseUrl()) << "the stored list keeps its order";
}

TEST_F(TokenAcquisition, LastAnswerIsKeptPerThreadAndTakenOnce) {
    Site u1 = service.OpenSite(), u2 = service.OpenSite();
    u1.Script(kTokenPath, Answer(404, "u1 says no", true));
    u2.Script(kTokenPath, Answer(404, "", true));
    UseBaseUrls({u1.BaseUrl(), u2.BaseUrl()});
    std::string token;

    EXPECT_EQ(Acquire(kId, token), -404);
    EXPECT_EQ(TakeLastTokenResponse(), "u1 says no");
    EXPECT_EQ(TakeLastTokenResponse(), "");

    // Another thread's failure stays on that thread.
    std::string theirs;
    std::thread([&] {
        std::string t;
        AcquireToken(kId, t);
        theirs = TakeLastTokenResponse();
    }).join();
    EXPECT_EQ(theirs, "u1 says no");
    EXPECT_EQ(TakeLastTokenResponse(), "");

    // Every call starts afresh: an empty account, or a token from memory.
    EXPECT_EQ(Acquire(kId, token), -404);
    EXPECT_EQ(Acquire(Account(""), token), -2);
    EXPECT_EQ(TakeLastTokenResponse(), "");
    EXPECT_EQ(Acquire(kId, token), -404);
    Hold("10001", "held", k2030);
    EXPECT_EQ(Acquire(kId, token), 0);
    EXPECT_EQ(TakeLastTokenResponse(), "");
}

TEST_F(TokenAcquisition, ThreadsAcquiringTogetherAllGetAToken) {
    Site site = OneSite({Answer(200, TokenBody("shared"), true)});
    UseCacheFiles();

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            const IdentityUtf8 id = Account(i % 2 ? "10001" : "20002");
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
