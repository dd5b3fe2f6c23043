// The ten synchronous service exports end to end: what reaches the service,
// the token renewal after 401, result codes and the caller's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <codecvt>
#include <locale>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "guarded_buffer.h"
#include "http.h"
#include "movu_mt5.h"

using namespace movu::test;

namespace {

constexpr const char* kDay = "/v1/calendar/day.php";

struct Identity {
    const movu_char16 *account = nullptr, *platform = nullptr, *broker = nullptr, *server = nullptr, *version = nullptr;
};

#define MOVU_ID id.account, id.platform, id.broker, id.server, id.version

// One export, called with a null date or payload and since 0.
struct Export {
    const char *name, *method, *path, *body;  // body: what the service receives
    bool wide;
    std::int32_t (*call)(const Identity& id, void* out, std::int32_t capacity);
};

movu_char16* Wout(void* p) { return static_cast<movu_char16*>(p); }
char* Aout(void* p) { return static_cast<char*>(p); }

#define MOVU_EXPORT(fn, method, path, body, wide, ...)                                              \
    {                                                                                               \
#fn, method, path, body, wide,                                                              \
            [](const Identity& id, void* o, std::int32_t c) { return fn(MOVU_ID, __VA_ARGS__, c); } \
    }
const Export kExports[] = {
    MOVU_EXPORT(Movu_CalendarDay, "GET", "/v1/calendar/day.php", "", true, nullptr, Wout(o)),
    MOVU_EXPORT(Movu_CalendarDayA, "GET", "/v1/calendar/day.php", "", false, nullptr, Aout(o)),
    MOVU_EXPORT(Movu_CalendarMeta, "GET", "/v1/calendar/meta.php", "", true, nullptr, Wout(o)),
    MOVU_EXPORT(Movu_CalendarMetaA, "GET", "/v1/calendar/meta.php", "", false, nullptr, Aout(o)),
    MOVU_EXPORT(Movu_CalendarChanges, "GET", "/v1/calendar/changes.php", "", true, nullptr, 0, Wout(o)),
    MOVU_EXPORT(Movu_CalendarChangesA, "GET", "/v1/calendar/changes.php", "", false, nullptr, 0, Aout(o)),
    MOVU_EXPORT(Movu_Heartbeat, "POST", "/v1/client/heartbeat.php", "{}", true, nullptr, Wout(o)),
    MOVU_EXPORT(Movu_HeartbeatA, "POST", "/v1/client/heartbeat.php", "{}", false, nullptr, Aout(o)),
    MOVU_EXPORT(Movu_VipStatus, "GET", "/v1/client/vip_status.php", "", true, Wout(o)),
    MOVU_EXPORT(Movu_VipStatusA, "GET", "/v1/client/vip_status.php", "", false, Aout(o)),
};

const char* const kServicePaths[] = {"/v1/calendar/day.php", "/v1/calendar/meta.php", "/v1/calendar/changes.php",
                                     "/v1/client/heartbeat.php", "/v1/client/vip_status.php"};

std::string Utf8(const std::u16string& s) {
    return std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t>().to_bytes(s);
}

std::u16string Units(const movu_char16* p) { return std::u16string(reinterpret_cast<const char16_t*>(p)); }

struct Reply {
    std::int32_t rc = 1;
    std::string text;  // UTF-8, whichever buffer the export filled
};

// The buffer starts as "untouched", so that writing nothing differs from writing an empty text.
Reply Invoke(const Export& e, const Identity& id, int capacity = 65536) {
    static const char kMark[] = "untouched";
    std::vector<movu_char16> wide(capacity + sizeof kMark);
    std::vector<char> narrow(capacity + sizeof kMark);
    std::copy(kMark, kMark + sizeof kMark, wide.begin());
    std::copy(kMark, kMark + sizeof kMark, narrow.begin());
    Reply r;
    r.rc = e.call(id, e.wide ? static_cast<void*>(wide.data()) : narrow.data(), capacity);
    r.text = e.wide ? Utf8(Units(wide.data())) : narrow.data();
    return r;
}

// The header lines the library itself writes, as "Name: value", sorted: the
// order of lines on the wire is the HTTP stack's business.
std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> LibraryLines(const RecordedRequest& r) {
    using movu::devserver::EqualsIgnoreCase;
    std::vector<std::string> lines;
    for (const std::string& line : r.header_lines) {
        const std::string name = line.substr(0, line.find(':'));
        if (name.size() < line.size() &&
            (EqualsIgnoreCase(name, "Content-Type") || EqualsIgnoreCase(name, "Authorization") ||
             EqualsIgnoreCase(name.substr(0, 2), "X-")))
            lines.push_back(name + ": " + movu::devserver::Trim(line.substr(name.size() + 1)));
    }
    return Sorted(lines);
}

// The bytes a header value of these UTF-8 bytes arrives as. Wine's HTTP
// stack, unlike the documented Windows one, encodes header characters as
// UTF-8 instead of narrowing them to one byte each, so there the library's
// bytes arrive encoded twice.
std::string WireBytes(const std::string& utf8) {
#ifdef _WIN32
    if (std::getenv("MOVU_WINE_HTTPS") != nullptr) return movu::devserver::BytesToLatin1Text(utf8);
#endif
    return utf8;
}

std::string TokenFetchFailed(int rc) {
    return "{\"ok\":false,\"error\":\"TOKEN_FETCH_FAILED\",\"rc\":" + std::to_string(rc) + "}";
}

class SignedRequests : public ApiTest {
protected:
    Identity Plain() const { return Identity{account(), nullptr, nullptr, nullptr, nullptr}; }

    // A token in memory for this test's account, and the requests it took forgotten.
    void Warm(const std::string& token = "T1") {
        ScriptToken(token);
        site().Script("/v1/client/vip_status.php", Answer(200, "warm"));
        char out[16];
        ASSERT_EQ(Movu_VipStatusA(account(), nullptr, nullptr, nullptr, nullptr, out, sizeof out), 0);
        ASSERT_EQ(site().Requests(kTokenPath).size(), 1u);
        site().ClearRequests();
    }
};

}  // namespace

// Each export's request, and its answer in both buffer forms: non-ASCII text,
// a character outside the basic plane among it, arrives whole. Control
// characters in the identity never start a header line of their own.
TEST_F(SignedRequests, EveryExportSendsItsVerbPathBodyAndIdentityLines) {
    const std::string text =
        " Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC";
    for (const char* path : kServicePaths) site().Script(path, Answer(200, path + text, true));
    ScriptToken("T1");
    const std::string bearer[] = {"Content-Type: application/json", "Authorization: Bearer T1", "X-Client-Token: T1",
                                  "X-Account: " + accountUtf8()};
    auto lines = [&](std::vector<std::string> identity) {
        identity.insert(identity.end(), std::begin(bearer), std::end(bearer));
        return Sorted(identity);
    };
    const std::u16string paddedAccount = u"  " + account_ + u"\t";
    const std::vector<std::pair<Identity, std::vector<std::string>>> identities = {
        {{W(paddedAccount), W(u" MT5 "), W(u" \t\u3000"), nullptr, W(u" 5.0.1 ")},
         lines({"X-Platform: MT5", "X-Broker: ", "X-Client-Version: 5.0.1"})},
        {{account(), nullptr, nullptr, W(u"Srv-1"), nullptr}, lines({"X-Server: Srv-1"})},
        {{account(), W(u"MT5\r\nX-Injected: p"), W(u"B\nX-Injected: b"), W(u"S\rX-Injected: s"),
          W(u"1.0\r\n\r\nGET /evil HTTP/1.1")},
         lines({"X-Platform: MT5X-Injected: p", "X-Broker: BX-Injected: b", "X-Server: SX-Injected: s",
                "X-Client-Version: 1.0GET /evil HTTP/1.1"})},
        // Every other control character goes too, tab and DEL included.
        {{account(), W(u"M\tT\u00015"), W(u"B\u007Fr"), W(u"S\u001B[0m"), nullptr},
         lines({"X-Platform: MT5", "X-Broker: Br", "X-Server: S[0m"})},
    };
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        for (const auto& [id, expected] : identities) {
            const std::size_t before = site().Requests(e.path).size();
            const Reply reply = Invoke(e, id);
            EXPECT_EQ(reply.rc, 0);
            EXPECT_EQ(reply.text, e.path + text);
            const std::vector<RecordedRequest> got = site().Requests(e.path);
            ASSERT_EQ(got.size(), before + 1);
            EXPECT_EQ(got.back().method, e.method);
            EXPECT_EQ(got.back().target, e.path);
            EXPECT_EQ(got.back().body, e.body);
            EXPECT_EQ(LibraryLines(got.back()), expected);
        }
    }
    // Non-ASCII values arrive as their UTF-8 bytes, and no character becomes
    // a line break or NUL under any narrowing (U+010A has 0x0A as its low byte).
    const std::pair<std::u16string, std::string> wide[] = {
        {u"Soci\u00e9t\u00e9", "Soci\xC3\xA9t\xC3\xA9"},
        {u"\u0100", "\xC4\x80"},
        {u"MT5\u010d\u010aX-Injected: wide", "MT5\xC4\x8D\xC4\x8AX-Injected: wide"},
        {u"\u0d0a\u0d0d", "\xE0\xB4\x8A\xE0\xB4\x8D"},
        {u"\u65e5\u672c", "\xE6\x97\xA5\xE6\x9C\xAC"}};
    for (const auto& [value, bytes] : wide) {
        ASSERT_EQ(Invoke(kExports[1], {account(), W(value)}).rc, 0);
        const RecordedRequest r = site().Requests(kExports[1].path).back();
        EXPECT_EQ(r.HeaderCount("X-Injected"), 0);
        EXPECT_EQ(r.Header("X-Platform").value_or(""), WireBytes(bytes)) << bytes;
    }

    // The token request carries only the non-empty identity values, trimmed.
    const std::vector<RecordedRequest> token = site().Requests(kTokenPath);
    ASSERT_EQ(token.size(), 1u) << "the token held in memory was not used";
    EXPECT_EQ(token[0].method, "GET");
    EXPECT_EQ(token[0].target, kTokenPath);
    EXPECT_TRUE(token[0].body.empty());
    EXPECT_EQ(LibraryLines(token[0]), Sorted({"Content-Type: application/json", "X-Account: " + accountUtf8(),
                                              "X-Platform: MT5", "X-Client-Version: 5.0.1"}));
}

// The date, since and payload arguments: trimmed, left out when blank, the
// query encoded and sorted.
TEST_F(SignedRequests, ArgumentsShapeTheTargetAndBody) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    for (const char* path : kServicePaths) site().Script(path, Answer(200, "{}", true));
    enum Kind { Day, Meta, Changes, Beat };
    struct Case {
        Kind kind;
        bool wide;
        const char16_t* arg;  // date or payload
        std::int64_t since;
        const char* target;
        std::string body;
    };
    // clang-format off
    const Case cases[] = {
        {Day, true, nullptr, 0, "/v1/calendar/day.php", ""},
        {Day, false, u" \t\u3000 ", 0, "/v1/calendar/day.php", ""},
        {Day, true, u"  2024-03-05 \r\n", 0, "/v1/calendar/day.php?date=2024-03-05", ""},
        {Day, false, u"a&b=c/ \u00fc", 0, "/v1/calendar/day.php?date=a%26b%3Dc%2F%20%C3%BC", ""},
        {Meta, true, u"\u00a02024-03-05", 0, "/v1/calendar/meta.php?date=2024-03-05", ""},
        {Meta, false, u"", 0, "/v1/calendar/meta.php", ""},
        {Changes, true, u"2024-03-05", 900, "/v1/calendar/changes.php?date=2024-03-05&since=900", ""},
        {Changes, false, u" ", -5, "/v1/calendar/changes.php", ""},
        {Changes, true, u"2024-03-05", INT64_MIN, "/v1/calendar/changes.php?date=2024-03-05", ""},
        {Changes, false, nullptr, INT64_MAX, "/v1/calendar/changes.php?since=9223372036854775807", ""},
        {Beat, true, nullptr, 0, "/v1/client/heartbeat.php", "{}"},
        {Beat, false, u" \r\n\t\u3000", 0, "/v1/client/heartbeat.php", "{}"},
        {Beat, false, u"\r\n  {\"a\": 1,\n \"b\": [1, 2]}\t\n ", 0, "/v1/client/heartbeat.php", "{\"a\": 1,\n \"b\": [1, 2]}"},
        {Beat, true, u"{\"n\":\"Gr\u00fc\u00dfe \u20ac\U0001F600\"}", 0, "/v1/client/heartbeat.php", "{\"n\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xF0\x9F\x98\x80\"}"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.target) + (c.wide ? " W " : " A ") + c.body);
        site().ClearRequests();
        const movu_char16* arg = c.arg ? W(c.arg) : nullptr;
        const movu_char16* x = account();
        char a[64];
        movu_char16 w[64];
        std::int32_t rc = 1;
        // clang-format off
        switch (c.kind) {
            case Day: rc = c.wide ? Movu_CalendarDay(x, 0, 0, 0, 0, arg, w, 64) : Movu_CalendarDayA(x, 0, 0, 0, 0, arg, a, 64); break;
            case Meta: rc = c.wide ? Movu_CalendarMeta(x, 0, 0, 0, 0, arg, w, 64) : Movu_CalendarMetaA(x, 0, 0, 0, 0, arg, a, 64); break;
            case Changes: rc = c.wide ? Movu_CalendarChanges(x, 0, 0, 0, 0, arg, c.since, w, 64) : Movu_CalendarChangesA(x, 0, 0, 0, 0, arg, c.since, a, 64); break;
            case Beat: rc = c.wide ? Movu_Heartbeat(x, 0, 0, 0, 0, arg, w, 64) : Movu_HeartbeatA(x, 0, 0, 0, 0, arg, a, 64);
        }
        // clang-format on
        EXPECT_EQ(rc, 0);
        const std::vector<RecordedRequest> got = site().Requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].target, c.target);
        EXPECT_EQ(got[0].method, c.kind == Beat ? "POST" : "GET");
        EXPECT_EQ(got[0].body, c.body);
    }
}

// After a 401 the token is fetched once more and the request sent once more
// with it; whatever that retry gives is the result.
TEST_F(SignedRequests, A401RenewsTheTokenOnceAndTheRetryDecides) {
    const ScriptedResponse dropped = Fault("close_no_response");
    const ScriptedResponse tokenDown = Answer(503, "{\"error\":\"TOKEN_SERVICE_DOWN\"}");
    struct Case {
        const char* what;
        ScriptedResponse renewal, retry;
        std::int32_t rc;
        std::string text;
        std::size_t requests;
    };
    const Case cases[] = {
        {"retry answers", TokenAnswer("T2"), Answer(200, "second: events"), 0, "second: events", 2},
        {"retry refused again", TokenAnswer("T2"), Answer(401, "second: no"), -401, "second: no", 2},
        {"retry dropped: no text", TokenAnswer("T2"), dropped, -15, "", 2},
        {"renewal fails: the first 401 stands", tokenDown, Answer(200, "never"), -401, "first: expired", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Site s = TestService::Instance().OpenSite();
        UseBaseUrl(s.BaseUrl());
        NewAccount("renew");
        s.Script(kTokenPath, {TokenAnswer("T1"), c.renewal});
        s.Script(kDay, {Answer(401, "first: expired"), c.retry});
        // On a thread that ends at once: nothing of the call may stay behind it.
        Reply reply;
        std::thread([&] { reply = Invoke(kExports[1], Plain()); }).join();
        EXPECT_EQ(reply.rc, c.rc);
        EXPECT_EQ(reply.text, c.text);
        const std::vector<RecordedRequest> got = s.Requests(kDay);
        ASSERT_EQ(got.size(), c.requests);
        EXPECT_EQ(s.Requests(kTokenPath).size(), 2u);
        EXPECT_EQ(got[0].Header("Authorization").value_or(""), "Bearer T1");
        if (c.requests < 2) continue;
        EXPECT_EQ(got[1].Header("Authorization").value_or(""), "Bearer T2");
        EXPECT_EQ(got[1].Header("X-Client-Token").value_or(""), "T2");
        EXPECT_EQ(got[1].target, got[0].target);
        if (c.rc != 0) continue;
        // The renewed token is the one held for the next call.
        s.ClearRequests();
        s.Script(kDay, Answer(200, "third"));
        EXPECT_EQ(Invoke(kExports[0], Plain()).rc, 0);
        EXPECT_EQ(s.Requests(kDay).at(0).Header("Authorization").value_or(""), "Bearer T2");
        EXPECT_TRUE(s.Requests(kTokenPath).empty());
    }
}

TEST_F(SignedRequests, ARevokedTokenStillInTheCacheFileIsNotSentAgain) {
    site().Script(kTokenPath, {TokenAnswer("T1"), TokenAnswer("T2"), TokenAnswer("T-other")});
    site().Script(kDay, {Answer(200, "warm"), Answer(401, "revoked"), Answer(200, "renewed"), Answer(200, "other"),
                         Answer(200, "back")});
    ASSERT_EQ(Invoke(kExports[1], Plain()).text, "warm");

    // Memory and the cache file hold T1 now; the service revokes it.
    const Reply renewed = Invoke(kExports[1], Plain());
    EXPECT_EQ(renewed.rc, 0);
    EXPECT_EQ(renewed.text, "renewed");
    std::vector<RecordedRequest> day = site().Requests(kDay);
    ASSERT_EQ(day.size(), 3u);
    EXPECT_EQ(day[1].Header("Authorization").value_or(""), "Bearer T1");
    EXPECT_EQ(day[2].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(site().Requests(kTokenPath).size(), 2u);

    // Another account takes the memory slot; coming back reads the file,
    // which must hold the renewed token.
    const std::u16string other = Widen(UniqueAccount("other"));
    EXPECT_EQ(Invoke(kExports[1], Identity{W(other)}).text, "other");
    EXPECT_EQ(Invoke(kExports[1], Plain()).text, "back");
    day = site().Requests(kDay);
    ASSERT_EQ(day.size(), 5u);
    EXPECT_EQ(day[4].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(site().Requests(kTokenPath).size(), 3u) << "the renewed token was not kept in the cache file";
}

// Without a token nothing is sent: a missing or blank account, or a refusal of
// the token endpoint, whose answer (or the library's envelope) is the result.
TEST_F(SignedRequests, NoRequestGoesOutWithoutAToken) {
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        Identity id{nullptr, W(u"MT5"), W(u"B"), W(u"S"), W(u"1")};
        const Reply none = Invoke(e, id, 16);
        EXPECT_EQ(none.rc, -2);
        EXPECT_EQ(none.text, "");
        EXPECT_EQ(e.call(id, nullptr, 16), -2);
        for (const char16_t* blank : {u"", u"  \t\r\n", u"\u3000\u00a0"}) {
            id.account = W(blank);
            const Reply reply = Invoke(e, id);
            EXPECT_EQ(reply.rc, -2);
            EXPECT_EQ(reply.text, TokenFetchFailed(-2));
        }
        EXPECT_TRUE(site().Requests().empty());

        const std::string blocked = "{\"ok\":false,\"error\":\"ACCOUNT_BLOCKED\"}";
        site().Script(kTokenPath, {Answer(403, blocked), Answer(404, "")});
        Reply reply = Invoke(e, Plain());
        EXPECT_EQ(reply.rc, -403);
        EXPECT_EQ(reply.text, blocked);
        reply = Invoke(e, Plain());
        EXPECT_EQ(reply.rc, -404);
        EXPECT_EQ(reply.text, TokenFetchFailed(-404));
        EXPECT_EQ(site().Requests().size(), 2u) << "a request went out without a token";
        site().ClearRequests();
    }
}

TEST_F(SignedRequests, BuffersAreCutAtCapacityWithoutTouchingAnythingElse) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    const std::string body = "{\"d\":\"\xC3\xA9\"}";     // 10 bytes
    const std::u16string units = u"{\"d\":\"\u00e9\"}";  // 9 code units
    site().Script(kDay, Answer(200, body, true));
    int calls = 0;
    // Every capacity from -1 to one more than the text needs; past the
    // terminator every byte keeps its fill.
    for (int capacity = -1; capacity <= static_cast<int>(body.size()) + 1; ++capacity, calls += 2) {
        SCOPED_TRACE(capacity);
        GuardedBuffer<char> a(std::max(capacity, 0) + 4);
        GuardedBuffer<movu_char16> w(std::max(capacity, 0) + 4);
        ASSERT_EQ(Movu_CalendarDayA(account(), nullptr, nullptr, nullptr, nullptr, nullptr, a.data(), capacity), 0);
        ASSERT_EQ(Movu_CalendarDay(account(), nullptr, nullptr, nullptr, nullptr, nullptr, w.data(), capacity), 0);
        const std::size_t n = capacity < 1 ? 0 : std::min<std::size_t>(capacity - 1, body.size());
        const std::size_t m = capacity < 1 ? 0 : std::min<std::size_t>(capacity - 1, units.size());
        if (capacity >= 1) {
            EXPECT_EQ(std::string(a.data()), body.substr(0, n));
            EXPECT_EQ(Units(w.data()), units.substr(0, m));
        }
        EXPECT_TRUE(a.UntouchedFrom(capacity < 1 ? 0 : n + 1));
        EXPECT_TRUE(w.UntouchedFrom(capacity < 1 ? 0 : m + 1));
    }
    // A null buffer only skips the copy.
    EXPECT_EQ(Movu_CalendarDay(account(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 64), 0);
    EXPECT_EQ(Movu_CalendarDayA(account(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 64), 0);
    EXPECT_EQ(site().Requests(kDay).size(), static_cast<std::size_t>(calls + 2));
}
