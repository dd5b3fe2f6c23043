// The ten synchronous service exports end to end: what reaches the service,
// the token renewal after 401, result codes and the caller's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "guarded_buffer.h"
#include "movu_mt5.h"

using namespace movu::test;

namespace {

struct Identity {
    const movu_char16* account = nullptr;
    const movu_char16* platform = nullptr;
    const movu_char16* broker = nullptr;
    const movu_char16* server = nullptr;
    const movu_char16* version = nullptr;
};

#define MOVU_ID id.account, id.platform, id.broker, id.server, id.version

// One export, called with a null date or payload and since 0.
struct Export {
    const char* name;
    const char* method;
    const char* path;
    const char* body;  // what the service receives
    bool wide;
    std::int32_t (*call)(const Identity& id, void* out, std::int32_t capacity);
};

movu_char16* Wout(void* p) { return static_cast<movu_char16*>(p); }
char* Aout(void* p) { return static_cast<char*>(p); }

#define MOVU_EXPORT(fn, method, path, body, wide, ...) \
    {#fn, method, path, body, wide, \
     [](const Identity& id, void* o, std::int32_t c) { return fn(MOVU_ID, __VA_ARGS__, c); }}
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
    static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return out;
}

std::u16string Units(const movu_char16* p) { return std::u16string(reinterpret_cast<const char16_t*>(p)); }

struct Reply {
    std::int32_t rc = 1;
    std::string text;  // UTF-8, whichever buffer the export filled
};

// The buffer starts as "untouched", so that writing nothing differs from writing an empty text.
template <typename T>
std::string Fill(const Export& e, const Identity& id, int capacity, std::int32_t& rc) {
    static const char kMark[] = "untouched";
    std::vector<T> out(static_cast<std::size_t>(capacity) + sizeof kMark, 0);
    std::copy(kMark, kMark + sizeof kMark, out.begin());
    rc = e.call(id, out.data(), capacity);
    if constexpr (sizeof(T) == 1) return out.data();
    else return Utf8(Units(out.data()));
}

Reply Invoke(const Export& e, const Identity& id, int capacity = 65536) {
    Reply r;
    r.text = e.wide ? Fill<movu_char16>(e, id, capacity, r.rc) : Fill<char>(e, id, capacity, r.rc);
    return r;
}

// The header lines the library itself writes, as "Name: value", sorted: the
// order of lines on the wire is the HTTP stack's business.
std::vector<std::string> LibraryLines(const RecordedRequest& r) {
    std::vector<std::string> lines;
    for (const std::string& line : r.header_lines) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon);
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower != "content-type" && lower != "authorization" && lower.rfind("x-", 0) != 0) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        lines.push_back(name + ": " + value);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
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

TEST_F(SignedRequests, EveryExportSendsItsVerbPathBodyAndIdentityLines) {
    for (const char* path : kServicePaths) site().Script(path, Answer(200, std::string("answer of ") + path, true));
    ScriptToken("T1");

    const std::u16string paddedAccount = u"  " + account_ + u"\t";
    const Identity withBlanks{W(paddedAccount), W(u" MT5 "), W(u" \t\u3000"), nullptr, W(u" 5.0.1 ")};
    const std::vector<std::string> withBlanksLines = Sorted({
        "Content-Type: application/json", "Authorization: Bearer T1", "X-Client-Token: T1",
        "X-Account: " + accountUtf8(), "X-Platform: MT5", "X-Broker: ", "X-Client-Version: 5.0.1"});
    const Identity serverOnly{account(), nullptr, nullptr, W(u"Srv-1"), nullptr};
    const std::vector<std::string> serverOnlyLines = Sorted({
        "Content-Type: application/json", "Authorization: Bearer T1", "X-Client-Token: T1",
        "X-Account: " + accountUtf8(), "X-Server: Srv-1"});

    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        for (const auto& [id, expected] : {std::make_pair(withBlanks, withBlanksLines),
                                           std::make_pair(serverOnly, serverOnlyLines)}) {
            const std::size_t before = site().Requests(e.path).size();
            const Reply reply = Invoke(e, id);
            EXPECT_EQ(reply.rc, 0);
            EXPECT_EQ(reply.text, std::string("answer of ") + e.path);
            const std::vector<RecordedRequest> got = site().Requests(e.path);
            ASSERT_EQ(got.size(), before + 1);
            EXPECT_EQ(got.back().method, e.method);
            EXPECT_EQ(got.back().target, e.path);
            EXPECT_EQ(got.back().body, e.body);
            EXPECT_EQ(LibraryLines(got.back()), expected);
        }
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

TEST_F(SignedRequests, ControlCharactersNeverStartAHeaderLine) {
    site().Script(kTokenPath, Answer(200, "{\"token\":\"Tk\r\nX-Evil: 1\",\"expires_at\":\"2099-01-01T00:00:00Z\"}", true));
    site().Script("/v1/calendar/day.php", Answer(200, "ok", true));
    const Identity id{account(), W(u"MT5\r\nX-Injected: platform"), W(u"Broker\nX-Injected: broker"),
                      W(u"Srv\rX-Injected: server"), W(u"1.0\r\n\r\nGET /evil HTTP/1.1")};
    // Units whose low byte is CR or LF must not turn into a line break either.
    const Identity wideUnits{account(), W(u"MT5\u010d\u010aX-Injected: wide"), nullptr, nullptr, nullptr};

    const Reply reply = Invoke(kExports[0], id);
    ASSERT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.text, "ok");
    ASSERT_EQ(Invoke(kExports[0], wideUnits).rc, 0);

    const std::vector<RecordedRequest> token = site().Requests(kTokenPath);
    const std::vector<RecordedRequest> day = site().Requests("/v1/calendar/day.php");
    ASSERT_EQ(token.size(), 1u);
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[1].HeaderCount("X-Injected"), 0);
    EXPECT_EQ(day[1].HeaderCount("X-Platform"), 1);
    EXPECT_EQ(site().Requests("/evil").size(), 0u);
    for (const RecordedRequest* r : {&token[0], &day[0]}) {
        SCOPED_TRACE(r->path);
        EXPECT_EQ(r->HeaderCount("X-Injected"), 0);
        EXPECT_EQ(r->HeaderCount("X-Evil"), 0);
        EXPECT_EQ(r->HeaderCount("GET /evil HTTP/1.1"), 0);
        for (const char* name : {"X-Account", "X-Platform", "X-Broker", "X-Server", "X-Client-Version"})
            EXPECT_EQ(r->HeaderCount(name), 1) << name;
        EXPECT_EQ(r->Header("X-Platform").value_or("").rfind("MT5", 0), 0u);
        EXPECT_EQ(r->Header("X-Broker").value_or("").rfind("Broker", 0), 0u);
    }
    ASSERT_EQ(day[0].HeaderCount("Authorization"), 1);
    ASSERT_EQ(day[0].HeaderCount("X-Client-Token"), 1);
    const std::string bearer = *day[0].Header("X-Client-Token");
    EXPECT_EQ(bearer.rfind("Tk", 0), 0u);
    EXPECT_EQ(*day[0].Header("Authorization"), "Bearer " + bearer);
}

TEST_F(SignedRequests, CalendarTargetsCarryTheTrimmedSortedQuery) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    for (const char* path : kServicePaths) site().Script(path, Answer(200, "{}", true));
    enum Kind { Day, Meta, Changes };
    struct Case {
        const char* target;
        Kind kind;
        bool wide;
        const char16_t* date;
        std::int64_t since;
    };
    const Case cases[] = {
        {"/v1/calendar/day.php", Day, true, nullptr, 0},
        {"/v1/calendar/day.php", Day, false, u"", 0},
        {"/v1/calendar/day.php", Day, true, u" \t\u3000 ", 0},
        {"/v1/calendar/day.php?date=2024-03-05", Day, true, u"  2024-03-05 \r\n", 0},
        {"/v1/calendar/day.php?date=2024-03-05", Day, false, u"2024-03-05", 0},
        {"/v1/calendar/day.php?date=2024%2003%2005", Day, true, u" 2024 03 05 ", 0},
        {"/v1/calendar/day.php?date=a%26b%3Dc%2F%C3%BC", Day, false, u"a&b=c/\u00fc", 0},
        {"/v1/calendar/meta.php", Meta, false, nullptr, 0},
        {"/v1/calendar/meta.php?date=2024-03-05", Meta, true, u"\u00a02024-03-05", 0},
        {"/v1/calendar/changes.php?date=2024-03-05&since=900", Changes, true, u"2024-03-05", 900},
        {"/v1/calendar/changes.php?date=2024-03-05&since=900", Changes, false, u" 2024-03-05", 900},
        {"/v1/calendar/changes.php", Changes, false, nullptr, 0},
        {"/v1/calendar/changes.php", Changes, true, u" ", -5},
        {"/v1/calendar/changes.php?date=2024-03-05", Changes, true, u"2024-03-05", INT64_MIN},
        {"/v1/calendar/changes.php?since=5", Changes, false, nullptr, 5},
        {"/v1/calendar/changes.php?since=9223372036854775807", Changes, true, nullptr, INT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.target) + (c.wide ? " W" : " A"));
        site().ClearRequests();
        const movu_char16* date = c.date ? W(c.date) : nullptr;
        const movu_char16* x = account();
        char a[64];
        movu_char16 w[64];
        std::int32_t rc = 1;
        if (c.kind == Day) rc = c.wide ? Movu_CalendarDay(x, 0, 0, 0, 0, date, w, 64) : Movu_CalendarDayA(x, 0, 0, 0, 0, date, a, 64);
        if (c.kind == Meta) rc = c.wide ? Movu_CalendarMeta(x, 0, 0, 0, 0, date, w, 64) : Movu_CalendarMetaA(x, 0, 0, 0, 0, date, a, 64);
        if (c.kind == Changes)
            rc = c.wide ? Movu_CalendarChanges(x, 0, 0, 0, 0, date, c.since, w, 64)
                        : Movu_CalendarChangesA(x, 0, 0, 0, 0, date, c.since, a, 64);
        EXPECT_EQ(rc, 0);
        const std::vector<RecordedRequest> got = site().Requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].target, c.target);
        EXPECT_EQ(got[0].method, "GET");
        EXPECT_TRUE(got[0].body.empty());
    }
}

TEST_F(SignedRequests, HeartbeatSendsThePayloadTrimmedOrAnEmptyObject) {
    ScriptToken("T1");
    site().Script("/v1/client/heartbeat.php", Answer(200, "pong, not JSON", true));
    const std::pair<const char16_t*, std::string> cases[] = {
        {nullptr, "{}"}, {u"", "{}"}, {u" \r\n\t\u3000", "{}"},
        {u"\r\n  {\"a\": 1,\n \"b\": [1, 2]}\t\n ", "{\"a\": 1,\n \"b\": [1, 2]}"}, {u"hello", "hello"},
        {u"{\"n\":\"Gr\u00fc\u00dfe \u20ac\U0001F600\"}", "{\"n\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xF0\x9F\x98\x80\"}"},
    };
    for (bool wide : {true, false}) {
        for (const auto& [text, body] : cases) {
            SCOPED_TRACE(std::string(wide ? "W " : "A ") + body);
            site().ClearRequests();
            const movu_char16* payload = text ? W(text) : nullptr;
            movu_char16 w[64];
            char a[64];
            ASSERT_EQ(wide ? Movu_Heartbeat(account(), W(u"MT5"), nullptr, nullptr, nullptr, payload, w, 64)
                           : Movu_HeartbeatA(account(), W(u"MT5"), nullptr, nullptr, nullptr, payload, a, 64), 0);
            EXPECT_EQ(wide ? Utf8(Units(w)) : std::string(a), "pong, not JSON");
            const std::vector<RecordedRequest> got = site().Requests("/v1/client/heartbeat.php");
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].method, "POST");
            EXPECT_EQ(got[0].target, "/v1/client/heartbeat.php");
            EXPECT_EQ(got[0].body, body);
            EXPECT_EQ(got[0].Header("Content-Type").value_or(""), "application/json");
        }
    }
}

TEST_F(SignedRequests, VipStatusIsABareGetWhoseAnswerIsRelayedWhateverTheStatus) {
    ScriptToken("T1");
    site().Script("/v1/client/vip_status.php",
                  {Answer(200, "{\"vip\":true,\"level\":3}"), Answer(402, "{\"vip\":false}")});
    char a[64];
    ASSERT_EQ(Movu_VipStatusA(account(), nullptr, nullptr, nullptr, nullptr, a, sizeof a), 0);
    EXPECT_STREQ(a, "{\"vip\":true,\"level\":3}");
    movu_char16 w[64];
    EXPECT_EQ(Movu_VipStatus(account(), nullptr, nullptr, nullptr, nullptr, w, 64), -402);
    EXPECT_EQ(Units(w), u"{\"vip\":false}");

    const std::vector<RecordedRequest> got = site().Requests("/v1/client/vip_status.php");
    ASSERT_EQ(got.size(), 2u);
    for (const RecordedRequest& r : got) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.target, "/v1/client/vip_status.php");
        EXPECT_TRUE(r.body.empty());
    }
    EXPECT_EQ(site().Requests(kTokenPath).size(), 1u) << "a non-2xx status other than 401 renewed the token";
}

TEST_F(SignedRequests, StatusesMapToCodesWithoutRenewalAndTheBodyIsCopied) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    struct Case {
        int status;
        std::int32_t rc;
        std::string body;
    };
    const Case cases[] = {
        {200, 0, "{\"events\":[]}"}, {201, 0, "created"},          {204, 0, ""},
        {304, -304, ""},             {403, -403, "{\"error\":\"FORBIDDEN\"}"},
        {404, -404, "not here"},     {418, -418, "teapot"},        {429, -429, "{\"retry\":30}"},
        {500, -500, "oops"},         {503, -500, "{\"error\":\"MAINTENANCE\"}"},
    };
    for (const Case& c : cases) {
        for (const Export* e : {&kExports[0], &kExports[1]}) {
            SCOPED_TRACE(std::string(e->name) + " " + std::to_string(c.status));
            site().ClearRequests();
            site().Script("/v1/calendar/day.php", Answer(c.status, c.body));
            const Reply reply = Invoke(*e, Plain());
            EXPECT_EQ(reply.rc, c.rc);
            EXPECT_EQ(reply.text, c.body);
            EXPECT_EQ(site().Requests("/v1/calendar/day.php").size(), 1u);
            EXPECT_TRUE(site().Requests(kTokenPath).empty());
        }
    }
}

TEST_F(SignedRequests, RenewalAfter401SendsTheNewTokenInBothHeaders) {
    site().Script(kTokenPath, {TokenAnswer("T1"), TokenAnswer("T2")});
    site().Script("/v1/calendar/day.php", {Answer(401, "first: expired"), Answer(200, "second: events")});
    const Reply reply = Invoke(kExports[0], Plain());
    EXPECT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.text, "second: events");

    const std::vector<RecordedRequest> got = site().Requests("/v1/calendar/day.php");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Header("Authorization").value_or(""), "Bearer T1");
    EXPECT_EQ(got[0].Header("X-Client-Token").value_or(""), "T1");
    EXPECT_EQ(got[1].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(got[1].Header("X-Client-Token").value_or(""), "T2");
    EXPECT_EQ(got[1].target, got[0].target);
    EXPECT_EQ(site().Requests(kTokenPath).size(), 2u);

    site().ClearRequests();
    site().Script("/v1/calendar/day.php", Answer(200, "third"));
    EXPECT_EQ(Invoke(kExports[1], Plain()).rc, 0);
    EXPECT_EQ(site().Requests("/v1/calendar/day.php").at(0).Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_TRUE(site().Requests(kTokenPath).empty());
}

TEST_F(SignedRequests, RenewalThatFailsLeavesTheFirst401Standing) {
    site().Script(kTokenPath, {TokenAnswer("T1"), Answer(503, "{\"error\":\"TOKEN_SERVICE_DOWN\"}")});
    site().Script("/v1/client/heartbeat.php", {Answer(401, "{\"error\":\"REVOKED\"}"), Answer(200, "never")});
    char out[128];
    EXPECT_EQ(Movu_HeartbeatA(account(), nullptr, nullptr, nullptr, nullptr, W(u"{\"x\":1}"), out, sizeof out), -401);
    EXPECT_STREQ(out, "{\"error\":\"REVOKED\"}");
    EXPECT_EQ(site().Requests("/v1/client/heartbeat.php").size(), 1u);
    EXPECT_EQ(site().Requests(kTokenPath).size(), 2u);
}

TEST_F(SignedRequests, A401AfterRenewalIsFinal) {
    site().Script(kTokenPath, {TokenAnswer("T1"), TokenAnswer("T2"), TokenAnswer("T3")});
    site().Script("/v1/calendar/meta.php", {Answer(401, "one"), Answer(401, "two"), Answer(200, "three")});
    movu_char16 out[64];
    EXPECT_EQ(Movu_CalendarMeta(account(), nullptr, nullptr, nullptr, nullptr, nullptr, out, 64), -401);
    EXPECT_EQ(Units(out), u"two");
    const std::vector<RecordedRequest> got = site().Requests("/v1/calendar/meta.php");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(site().Requests(kTokenPath).size(), 2u);
}

TEST_F(SignedRequests, TransportFailureOfTheRenewedRequestLeavesTheBufferEmpty) {
    site().Script(kTokenPath, {TokenAnswer("T1"), TokenAnswer("T2")});
    ScriptedResponse dropped;
    dropped.fault = "close_no_response";
    site().Script("/v1/calendar/day.php", {Answer(401, "first"), dropped});
    char out[64];
    std::memset(out, 'x', sizeof out);
    const std::int32_t rc = Movu_CalendarDayA(account(), nullptr, nullptr, nullptr, nullptr, nullptr, out, sizeof out);
    EXPECT_EQ(rc, -15);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(site().Requests("/v1/calendar/day.php").size(), 2u);
}

TEST_F(SignedRequests, ARevokedTokenStillInTheCacheFileIsNotSentAgain) {
    site().Script(kTokenPath, {TokenAnswer("T1"), TokenAnswer("T2"), TokenAnswer("T-other")});
    site().Script("/v1/calendar/day.php",
                  {Answer(200, "warm"), Answer(401, "revoked"), Answer(200, "renewed"), Answer(200, "other"),
                   Answer(200, "back")});
    ASSERT_EQ(Invoke(kExports[1], Plain()).text, "warm");

    // Memory and the cache file hold T1 now; the service revokes it.
    const Reply renewed = Invoke(kExports[1], Plain());
    EXPECT_EQ(renewed.rc, 0);
    EXPECT_EQ(renewed.text, "renewed");
    std::vector<RecordedRequest> day = site().Requests("/v1/calendar/day.php");
    ASSERT_EQ(day.size(), 3u);
    EXPECT_EQ(day[1].Header("Authorization").value_or(""), "Bearer T1");
    EXPECT_EQ(day[2].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(day[2].Header("X-Client-Token").value_or(""), "T2");
    EXPECT_EQ(site().Requests(kTokenPath).size(), 2u);

    // Another account takes the memory slot; coming back reads the file,
    // which must hold the renewed token.
    const std::u16string other = Widen(UniqueAccount("other"));
    EXPECT_EQ(Invoke(kExports[1], Identity{W(other)}).text, "other");
    EXPECT_EQ(Invoke(kExports[1], Plain()).text, "back");
    day = site().Requests("/v1/calendar/day.php");
    ASSERT_EQ(day.size(), 5u);
    EXPECT_EQ(day[4].Header("Authorization").value_or(""), "Bearer T2");
    EXPECT_EQ(site().Requests(kTokenPath).size(), 3u) << "the renewed token was not kept in the cache file";
}

TEST_F(SignedRequests, UnreachableBaseUrlLeavesTheBufferEmpty) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    UseBaseUrl("http://127.0.0.1:" + std::to_string(TestService::Instance().ClosedPort()));
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        const Reply reply = Invoke(e, Plain());
        EXPECT_EQ(reply.rc, -12);
        EXPECT_EQ(reply.text, "");
    }
    EXPECT_TRUE(site().Requests().empty());
}

TEST_F(SignedRequests, FailedTokenAcquisitionHandsBackTheServiceAnswerOrAnEnvelope) {
    struct Case {
        ScriptedResponse token;
        std::int32_t rc;
        std::string text;
    };
    const Case cases[] = {
        {Answer(403, "{\"ok\":false,\"error\":\"ACCOUNT_BLOCKED\"}"), -403,
         "{\"ok\":false,\"error\":\"ACCOUNT_BLOCKED\"}"},
        {Answer(401, "who?"), -401, "who?"},
        {Answer(429, "{\"retry\":5}"), -429, "{\"retry\":5}"},
        {Answer(502, "bad gateway"), -500, "bad gateway"},
        {Answer(200, "{\"ok\":true}"), -200, "{\"ok\":true}"},
        {Answer(200, "{\"token\":\"\",\"expires_at\":\"2099-01-01T00:00:00Z\"}"), -200,
         "{\"token\":\"\",\"expires_at\":\"2099-01-01T00:00:00Z\"}"},
        {Answer(404, ""), -404, TokenFetchFailed(-404)},
        {Answer(200, ""), -200, TokenFetchFailed(-200)},
    };
    for (const Case& c : cases) {
        for (const Export* e : {&kExports[0], &kExports[7]}) {
            SCOPED_TRACE(std::string(e->name) + " " + c.text);
            site().ClearRequests();
            site().Script(kTokenPath, c.token);
            const Reply reply = Invoke(*e, Plain());
            EXPECT_EQ(reply.rc, c.rc);
            EXPECT_EQ(reply.text, c.text);
            EXPECT_EQ(site().Requests(kTokenPath).size(), 1u);
            EXPECT_EQ(site().Requests().size(), 1u) << "a request went out without a token";
        }
    }

    // No service at all: the transport's own envelope is the answer.
    UseBaseUrl("http://127.0.0.1:" + std::to_string(TestService::Instance().ClosedPort()));
    const Reply reply = Invoke(kExports[2], Plain());
    EXPECT_EQ(reply.rc, -12);
    EXPECT_EQ(reply.text.rfind("{\"ok\":false,\"error\":\"WINHTTP_CONNECT_FAILED\"", 0), 0u) << reply.text;
}

TEST_F(SignedRequests, MissingOrBlankAccountIsRefusedWithoutARequest) {
    ScriptToken("T1");
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
    }
    EXPECT_TRUE(site().Requests().empty());
}

TEST_F(SignedRequests, BuffersAreCutAtCapacityWithoutTouchingAnythingElse) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    const std::string body = "{\"d\":\"\xC3\xA9\"}";  // 10 bytes
    const std::u16string units = u"{\"d\":\"\u00e9\"}";  // 9 code units
    site().Script("/v1/calendar/day.php", Answer(200, body, true));
    int calls = 0;
    // Every capacity from -1 to one more than the text needs.
    auto check = [&](auto unit, const auto& expected) {
        using T = decltype(unit);
        for (int capacity = -1; capacity <= static_cast<int>(expected.size()) + 1; ++capacity) {
            SCOPED_TRACE(std::to_string(sizeof(T)) + "-byte capacity " + std::to_string(capacity));
            GuardedBuffer<T> out(capacity < 0 ? 4 : capacity);
            if constexpr (sizeof(T) == 1)
                EXPECT_EQ(Movu_CalendarDayA(account(), nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity), 0);
            else
                EXPECT_EQ(Movu_CalendarDay(account(), nullptr, nullptr, nullptr, nullptr, nullptr, out.data(), capacity), 0);
            ++calls;
            EXPECT_TRUE(out.GuardsIntact());
            if (capacity < 1) {
                EXPECT_TRUE(out.Untouched());
                continue;
            }
            const std::size_t n = std::min<std::size_t>(capacity - 1, expected.size());
            if constexpr (sizeof(T) == 1) EXPECT_EQ(std::string(out.data()), expected.substr(0, n));
            else EXPECT_EQ(Units(out.data()), expected.substr(0, n));
            const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
            for (std::size_t i = (n + 1) * sizeof(T); i < out.size() * sizeof(T); ++i)
                EXPECT_EQ(bytes[i], 0xA5) << "byte " << i << " written";
        }
    };
    check(movu_char16{}, units);
    check(char{}, body);
    // A null buffer only skips the copy.
    EXPECT_EQ(Movu_CalendarDay(account(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 64), 0);
    EXPECT_EQ(Movu_CalendarDayA(account(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 64), 0);
    EXPECT_EQ(site().Requests("/v1/calendar/day.php").size(), static_cast<std::size_t>(calls + 2));
}

TEST_F(SignedRequests, WideAndByteBuffersCarryTheSameText) {
    ASSERT_NO_FATAL_FAILURE(Warm());
    const std::string body = "{\"t\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC\"}";
    const std::u16string units = u"{\"t\":\"Gr\u00fc\u00dfe \u20ac \U0001F600 \u65e5\u672c\"}";
    for (const char* path : kServicePaths) site().Script(path, Answer(200, body, true));

    for (std::size_t i = 0; i < std::size(kExports); i += 2) {
        const Export& wide = kExports[i];
        const Export& narrow = kExports[i + 1];
        SCOPED_TRACE(wide.name);
        ASSERT_TRUE(wide.wide);
        ASSERT_FALSE(narrow.wide);
        movu_char16 w[64];
        char a[64];
        ASSERT_EQ(wide.call(Plain(), w, 64), 0);
        ASSERT_EQ(narrow.call(Plain(), a, 64), 0);
        EXPECT_EQ(Units(w), units);
        EXPECT_EQ(std::string(a), body);
        EXPECT_EQ(Utf8(Units(w)), std::string(a));
    }
}

TEST_F(SignedRequests, ManyThreadsAtOnceAllGetTheirWholeAnswer) {
    ASSERT_NO_FATAL_FAILURE(Warm("T-shared"));
    std::vector<std::string> bodies;
    for (std::size_t i = 0; i < std::size(kServicePaths); ++i) {
        ScriptedResponse r;
        r.body_size = 3000 + 1700 * i;
        r.repeat = true;
        site().Script(kServicePaths[i], r);
        bodies.push_back(GeneratedBody(r.body_size));
    }
    auto expectedFor = [&](const Export& e) {
        for (std::size_t i = 0; i < std::size(kServicePaths); ++i)
            if (std::strcmp(kServicePaths[i], e.path) == 0) return bodies[i];
        return std::string();
    };

    constexpr int kThreads = 8;
    constexpr int kCallsPerThread = 25;
    std::atomic<int> failures{0};
    std::vector<std::string> firstFailure(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int k = 0; k < kCallsPerThread; ++k) {
                const Export& e = kExports[(t + k) % std::size(kExports)];
                const Reply reply = Invoke(e, Plain(), 16384);
                if (reply.rc == 0 && reply.text == expectedFor(e)) continue;
                failures.fetch_add(1);
                if (firstFailure[t].empty())
                    firstFailure[t] = std::string(e.name) + " rc " + std::to_string(reply.rc) + ", " +
                                      std::to_string(reply.text.size()) + " bytes";
            }
        });
    }
    go = true;
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(failures.load(), 0);
    for (const std::string& f : firstFailure) EXPECT_EQ(f, "");
    const std::vector<RecordedRequest> all = site().Requests();
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kCallsPerThread));
    EXPECT_TRUE(site().Requests(kTokenPath).empty()) << "a warm token was fetched again";
    for (const RecordedRequest& r : all) EXPECT_EQ(r.Header("X-Client-Token").value_or(""), "T-shared");
}
