// Background jobs through the exports: start, poll, cancel, the worker's walk
// over the base URLs, and many jobs at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "api_fixture.h"
#include "guarded_buffer.h"
#include "movu_mt5.h"
#include "testservice_client.h"

using namespace movu::test;

namespace {

constexpr const char* kPing = "/v1/client/ping.php";
constexpr const char* kDay = "/v1/calendar/day.php";
constexpr const char* kMeta = "/v1/calendar/meta.php";
constexpr const char* kRegister = "/v1/client/register.php";
constexpr const char* kVip = "/v1/client/vip_status.php";

// Waits until the site has recorded at least n requests for the path.
bool WaitForRequests(const Site& site, const std::string& path, size_t n,
                     std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (site.Requests(path).size() < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ScriptedResponse Stall() {
    ScriptedResponse r;
    r.fault = "stall";
    r.repeat = true;
    return r;
}

class Jobs : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        if (HasFatalFailure()) return;
        UseNoCacheFile();
        account8_ = accountUtf8();
    }

    void TearDown() override {
        for (int32_t id : started_) Movu_Cancel(id);
        ApiTest::TearDown();
    }

    // A ping job of this test's account; the id is kept for cleaning up.
    int32_t StartPing() {
        int32_t id = -7;
        EXPECT_EQ(Movu_StartPingA(acc(), "MT5", "Broker", "Server", "1.0", &id), 0);
        return Track(id);
    }
    int32_t Track(int32_t id) {
        if (id > 0) started_.push_back(id);
        return id;
    }
    const char* acc() const { return account8_.c_str(); }
    std::u16string acc16() const { return account_; }

    std::string account8_;
    std::vector<int32_t> started_;
};

// ---- ids ------------------------------------------------------------------

TEST_F(Jobs, IdsAreConsecutiveAndNeverReused) {
    ScriptToken("T1");
    site().Script(kPing, Answer(200, "pong", true));

    const int32_t n = StartPing();
    ASSERT_GT(n, 0);
    EXPECT_EQ(StartPing(), n + 1);
    EXPECT_EQ(Movu_Cancel(n), 0);
    // The cancelled id is not handed out again.
    EXPECT_EQ(StartPing(), n + 2);
    int32_t id = -7;
    EXPECT_EQ(Movu_StartPingW(W(acc16()), W(u"MT5"), nullptr, nullptr, nullptr, &id), 0);
    EXPECT_EQ(Track(id), n + 3);
}

TEST_F(Jobs, RefusedStartsConsumeNoIdAndLeaveZero) {
    ScriptToken("T1");
    site().Script(kPing, Answer(200, "pong", true));
    const int32_t first = StartPing();
    ASSERT_GT(first, 0);

    struct Case {
        const char* what;
        int32_t expected;
        std::function<int32_t(int32_t*)> start;
    };
    const char* a = acc();
    const std::u16string w = acc16();
    const std::vector<Case> cases = {
        {"A null account", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(nullptr, "", "", "", "", kPing, "", "GET", "", o); }},
        {"A null path", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", nullptr, "", "GET", "", o); }},
        {"A null method", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", kPing, "", nullptr, "", o); }},
        {"A empty path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", "", "", "GET", "", o); }},
        {"A empty method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", kPing, "", "", "", o); }},
        {"W null path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, W(u"GET"), nullptr, o); }},
        {"W null method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"/v1/client/ping.php"), nullptr, nullptr, nullptr, o); }},
        {"W blank path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, W(u" \t\u3000"), nullptr, W(u"GET"), nullptr, o); }},
        {"W blank method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"/v1/client/ping.php"), nullptr, W(u"  "), nullptr, o); }},
        {"ping A null account", -2, [&](int32_t* o) { return Movu_StartPingA(nullptr, "", "", "", "", o); }},
        {"register A null account", -2, [&](int32_t* o) { return Movu_StartRegisterA(nullptr, "", "", "", "", o); }},
        {"vip A null account", -2, [&](int32_t* o) { return Movu_StartVipStatusA(nullptr, "", "", "", "", o); }},
        {"day A null account", -2, [&](int32_t* o) { return Movu_StartCalendarDayA(nullptr, "", "", "", "", "2024-01-02", o); }},
        {"meta A null account", -2, [&](int32_t* o) { return Movu_StartCalendarMetaA(nullptr, "", "", "", "", "2024-01-02", o); }},
    };
    for (const Case& c : cases) {
        int32_t out = 12345;
        EXPECT_EQ(c.start(&out), c.expected) << c.what;
        EXPECT_EQ(out, 0) << c.what;
    }

    // A null out pointer is refused before anything else.
    EXPECT_EQ(Movu_GetAsyncSignedA(a, "", "", "", "", kPing, "", "GET", "", nullptr), -1);
    EXPECT_EQ(Movu_GetAsyncSignedA(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(Movu_GetAsyncSignedW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"/v1/client/ping.php"), nullptr, W(u"GET"), nullptr, nullptr), -1);
    EXPECT_EQ(Movu_StartPingA(a, "", "", "", "", nullptr), -1);
    EXPECT_EQ(Movu_StartPingW(W(w), nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(Movu_StartRegisterA(a, "", "", "", "", nullptr), -1);
    EXPECT_EQ(Movu_StartRegisterW(W(w), nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(Movu_StartVipStatusA(a, "", "", "", "", nullptr), -1);
    EXPECT_EQ(Movu_StartVipStatusW(W(w), nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(Movu_StartCalendarDayA(a, "", "", "", "", "2024-01-02", nullptr), -1);
    EXPECT_EQ(Movu_StartCalendarDayW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"2024-01-02"), nullptr), -1);
    EXPECT_EQ(Movu_StartCalendarMetaA(a, "", "", "", "", "2024-01-02", nullptr), -1);
    EXPECT_EQ(Movu_StartCalendarMetaW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"2024-01-02"), nullptr), -1);

    // None of them took an id or reached the service.
    EXPECT_EQ(StartPing(), first + 1);
    ASSERT_TRUE(WaitForRequests(site(), kPing, 2));
    WaitFinished(first + 1);
    EXPECT_EQ(site().Requests(kPing).size(), 2u);
    EXPECT_TRUE(site().Requests(kDay).empty());
    EXPECT_TRUE(site().Requests(kMeta).empty());
    EXPECT_TRUE(site().Requests(kRegister).empty());
    EXPECT_TRUE(site().Requests(kVip).empty());
}

// ---- what a start sends ----------------------------------------------------------

TEST_F(Jobs, NullAccountInUtf16StartsAJobThatCannotGetAToken) {
    ScriptToken("T1");
    site().Script(kPing, Answer(200, "pong", true));
    int32_t id = 0;
    ASSERT_EQ(Movu_StartPingW(nullptr, W(u"MT5"), nullptr, nullptr, nullptr, &id), 0);
    Track(id);
    ASSERT_GT(id, 0);
    const Outcome o = WaitFinished(id);
    EXPECT_EQ(o.rc, -2);
    EXPECT_EQ(o.state, -1);
    EXPECT_EQ(o.http, 0);
    EXPECT_EQ(o.text, R"({"ok":false,"error":"TOKEN_FETCH_FAILED","rc":-2})");
    EXPECT_TRUE(site().Requests(kPing).empty());
    EXPECT_TRUE(site().Requests(kTokenPath).empty());
}

TEST_F(Jobs, CalendarStartsCarryTheDateOnlyWhenGiven) {
    ScriptToken("T1");
    site().Script(kDay, Answer(200, "day", true));
    site().Script(kMeta, Answer(200, "meta", true));
    const char* a = acc();
    const std::u16string w = acc16();
    struct Case {
        std::function<int32_t(int32_t*)> start;
        std::string target;
    };
    const std::vector<Case> cases = {
        {[&](int32_t* o) { return Movu_StartCalendarDayA(a, "", "", "", "", nullptr, o); }, "/v1/calendar/day.php"},
        {[&](int32_t* o) { return Movu_StartCalendarDayA(a, "", "", "", "", "", o); }, "/v1/calendar/day.php"},
        {[&](int32_t* o) { return Movu_StartCalendarDayA(a, "", "", "", "", "2024 05", o); },
         "/v1/calendar/day.php?date=2024%2005"},
        {[&](int32_t* o) { return Movu_StartCalendarDayW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"  \t "), o); },
         "/v1/calendar/day.php"},
        {[&](int32_t* o) { return Movu_StartCalendarDayW(W(w), nullptr, nullptr, nullptr, nullptr, nullptr, o); },
         "/v1/calendar/day.php"},
        {[&](int32_t* o) { return Movu_StartCalendarDayW(W(w), nullptr, nullptr, nullptr, nullptr, W(u" 2024-05-01 "), o); },
         "/v1/calendar/day.php?date=2024-05-01"},
        {[&](int32_t* o) { return Movu_StartCalendarMetaA(a, "", "", "", "", "2024-05-01", o); },
         "/v1/calendar/meta.php?date=2024-05-01"},
        {[&](int32_t* o) { return Movu_StartCalendarMetaW(W(w), nullptr, nullptr, nullptr, nullptr, W(u"\u00a0"), o); },
         "/v1/calendar/meta.php"},
    };
    for (const Case& c : cases) {
        site().ClearRequests();
        int32_t id = 0;
        ASSERT_EQ(c.start(&id), 0) << c.target;
        Track(id);
        const Outcome o = WaitFinished(id);
        EXPECT_EQ(o.state, 1) << c.target;
        const auto requests = site().Requests();
        std::vector<std::string> targets;
        for (const auto& r : requests) {
            if (r.path != kTokenPath) targets.push_back(r.target);
        }
        EXPECT_EQ(targets, std::vector<std::string>{c.target});
    }
}

TEST_F(Jobs, EveryStartSendsItsRequestWithTheIdentity) {
    ScriptToken("T1");
    for (const char* path : {kPing, kRegister, kVip, kDay, kMeta}) site().Script(path, Answer(200, path, true));
    const char* a = acc();
    const std::u16string w = acc16();
    const std::u16string padded = u"  " + w + u"\t";
    struct Case {
        std::function<int32_t(int32_t*)> start;
        std::string path;
        bool wide;
    };
    const std::vector<Case> cases = {
        {[&](int32_t* o) { return Movu_StartPingA(a, "MT5", "Brk", "Srv", "2.1", o); }, kPing, false},
        {[&](int32_t* o) { return Movu_StartPingW(W(padded), W(u" MT5 "), W(u"Brk"), W(u"Srv\n"), W(u"2.1"), o); }, kPing, true},
        {[&](int32_t* o) { return Movu_StartRegisterA(a, "MT5", "Brk", "Srv", "2.1", o); }, kRegister, false},
        {[&](int32_t* o) { return Movu_StartRegisterW(W(padded), W(u"MT5"), W(u"Brk"), W(u"Srv"), W(u"2.1"), o); }, kRegister, true},
        {[&](int32_t* o) { return Movu_StartVipStatusA(a, "MT5", "Brk", "Srv", "2.1", o); }, kVip, false},
        {[&](int32_t* o) { return Movu_StartVipStatusW(W(padded), W(u"MT5"), W(u"Brk"), W(u"Srv"), W(u"2.1"), o); }, kVip, true},
        {[&](int32_t* o) { return Movu_StartCalendarDayA(a, "MT5", "Brk", "Srv", "2.1", "", o); }, kDay, false},
        {[&](int32_t* o) { return Movu_StartCalendarMetaW(W(padded), W(u"MT5"), W(u"Brk"), W(u"Srv"), W(u"2.1"), nullptr, o); }, kMeta, true},
    };
    for (const Case& c : cases) {
        site().ClearRequests();
        int32_t id = 0;
        ASSERT_EQ(c.start(&id), 0) << c.path;
        Track(id);
        const Outcome o = WaitFinished(id);
        EXPECT_EQ(o.rc, 0) << c.path;
        EXPECT_EQ(o.state, 1) << c.path;
        EXPECT_EQ(o.http, 200) << c.path;
        EXPECT_EQ(o.text, c.path);
        const auto requests = site().Requests(c.path);
        ASSERT_EQ(requests.size(), 1u) << c.path;
        const RecordedRequest& r = requests[0];
        EXPECT_EQ(r.method, "GET") << c.path;
        EXPECT_EQ(r.Header("Authorization").value_or(""), "Bearer T1") << c.path;
        EXPECT_EQ(r.Header("X-Client-Token").value_or(""), "T1") << c.path;
        EXPECT_EQ(r.Header("X-Account").value_or(""), account8_) << c.path;
        EXPECT_EQ(r.Header("X-Platform").value_or("-"), "MT5") << c.path << (c.wide ? " W" : " A");
        EXPECT_EQ(r.Header("X-Broker").value_or("-"), "Brk") << c.path;
        EXPECT_EQ(r.Header("X-Server").value_or("-"), "Srv") << c.path;
        EXPECT_EQ(r.Header("X-Client-Version").value_or("-"), "2.1") << c.path;
    }
}

TEST_F(Jobs, GeneralStartPassesMethodQueryAndBody) {
    ScriptToken("T1");
    site().Script("/v1/custom.php", Answer(200, "custom", true));
    int32_t id = 0;
    ASSERT_EQ(Movu_GetAsyncSignedA(acc(), nullptr, nullptr, nullptr, nullptr, "/v1/custom.php", "since=5&date=2024-01-02",
                                   "POST", "{\"a\": 1}", &id), 0);
    Track(id);
    EXPECT_EQ(WaitFinished(id).text, "custom");
    ASSERT_EQ(WaitFinished(id).state, 1);

    ASSERT_EQ(Movu_GetAsyncSignedW(W(u" " + acc16()), nullptr, nullptr, nullptr, nullptr, W(u" /v1/custom.php "),
                                   W(u" x=a b "), W(u" PUT "), W(u"  keep  "), &id), 0);
    Track(id);
    ASSERT_EQ(WaitFinished(id).state, 1);

    const auto requests = site().Requests("/v1/custom.php");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/custom.php?date=2024-01-02&since=5");
    EXPECT_EQ(requests[0].body, "{\"a\": 1}");
    EXPECT_EQ(requests[1].method, "PUT");
    EXPECT_EQ(requests[1].target, "/v1/custom.php?x=a%20b");
    EXPECT_EQ(requests[1].body, "  keep  ");
    EXPECT_EQ(requests[1].Header("X-Account").value_or(""), account8_);
}

// ---- outcomes ----------------------------------------------------------------------

TEST_F(Jobs, TheWalkOverBaseUrlsEndsAtTheFirstSuccessAndKeepsTheLastBody) {
    enum Next { None, Unusable, Second };
    struct Case {
        const char* what;
        ScriptedResponse first;
        Next next;
        ScriptedResponse second;
        int32_t rc, state, http;
        std::string text;
        size_t secondRequests;
    };
    const Case cases[] = {
        // The unusable second entry ends its attempt with no text at all.
        {"later attempt without body keeps earlier body", Answer(500, "first answer", true), Unusable, {}, -10, -1, 0,
         "first answer", 0},
        {"success without body", Answer(204, "", true), None, {}, 0, 1, 204,
         R"({"ok":false,"error":"NO_RESPONSE","rc":0,"http":204,"path":"/v1/client/ping.php"})", 0},
        {"every base URL failing without body", Answer(503, "", true), Second, Answer(503, "", true), -500, -1, 503,
         R"({"ok":false,"error":"NO_RESPONSE","rc":-500,"http":503,"path":"/v1/client/ping.php"})", 1},
        {"first success stops the walk", Answer(200, "from first", true), Second, Answer(200, "from second", true), 0, 1,
         200, "from first", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Site first = TestService::Instance().OpenSite(), second = TestService::Instance().OpenSite();
        first.Script(kTokenPath, TokenAnswer("T1", true));
        first.Script(kPing, c.first);
        if (c.next == Second) second.Script(kPing, c.second);
        const std::string next = c.next == None ? "" : c.next == Unusable ? ";ftp://x" : ";" + second.BaseUrl();
        Movu_SetBaseUrls(W(Widen(first.BaseUrl() + next)));
        const Outcome o = WaitFinished(StartPing());
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.state, c.state);
        EXPECT_EQ(o.http, c.http);
        EXPECT_EQ(o.text, c.text);
        EXPECT_EQ(first.Requests(kPing).size(), 1u);
        EXPECT_EQ(second.Requests(kPing).size(), c.secondRequests);
    }
}

TEST_F(Jobs, EnvelopeStaysValidJsonForAPathWithAQuote) {
    ScriptToken("T1");
    // Whether the quote travels raw or percent-encoded is the HTTP stack's choice.
    site().Script("/v1/a\"b.php", Answer(503, "", true));
    site().Script("/v1/a%22b.php", Answer(503, "", true));
    int32_t id = 0;
    ASSERT_EQ(Movu_GetAsyncSignedA(acc(), "", "", "", "", "/v1/a\"b.php", "", "GET", "", &id), 0);
    Track(id);
    const Outcome o = WaitFinished(id);
    EXPECT_EQ(o.state, -1);
    const auto parsed = nlohmann::json::parse(o.text, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << o.text;
    EXPECT_EQ(parsed.value("error", ""), "NO_RESPONSE");
    EXPECT_EQ(parsed.value("path", ""), "/v1/a\"b.php");
    EXPECT_EQ(parsed.value("rc", 0), o.rc);
    EXPECT_EQ(parsed.value("http", 0), o.http);
}

// ---- poll and cancel -----------------------------------------------------------------

// Polls a removed job for a while: it must stay gone.
void ExpectStaysGone(int32_t id, std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    do {
        GuardedBuffer<char> buffer(64);
        int32_t state = 7, http = 7;
        const int32_t rc = Movu_PollA(id, &state, &http, buffer.data(), 64);
        if (rc != -2 || state != -1 || http != 0 || !buffer.Untouched()) {
            ADD_FAILURE() << "job " << id << " was written after its removal: rc " << rc << " state " << state;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
}

TEST_F(Jobs, CancelledWhileInsideAnExchangeIsNeverWrittenAndTriesNoFurtherBaseUrl) {
    ScriptToken("T1");
    site().Script(kPing, Stall());
    Site second = TestService::Instance().OpenSite();
    second.Script(kPing, Answer(200, "too late", true));
    Movu_SetBaseUrls(W(Widen(site().BaseUrl() + ";" + second.BaseUrl())));
    const int32_t id = StartPing();
    ASSERT_TRUE(WaitForRequests(site(), kPing, 1));

    GuardedBuffer<char> running(64);
    int32_t state = 7, http = 7;
    EXPECT_EQ(Movu_PollA(id, &state, &http, running.data(), 64), 0);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(http, 0);
    EXPECT_TRUE(running.Untouched());

    EXPECT_EQ(Movu_Cancel(id), 0);
    EXPECT_EQ(Movu_Cancel(id), -2);
    ExpectStaysGone(id, std::chrono::milliseconds(0));

    // The stalled exchange ends now and the worker comes to its final write, or
    // looks the job up before its next attempt and ends there.
    site().Close();
    ExpectStaysGone(id, std::chrono::seconds(3));
    EXPECT_TRUE(second.Requests(kPing).empty());
}

TEST_F(Jobs, PollCopiesTheTextCutToCapacity) {
    ScriptToken("T1");
    site().Script(kPing, Answer(404, "hello", true));
    const int32_t id = StartPing();
    ASSERT_EQ(WaitFinished(id).state, -1);

    // Every capacity from none to more than the text needs.
    const std::string text = "hello";
    for (int32_t capacity = -1; capacity <= static_cast<int32_t>(text.size()) + 2; ++capacity) {
        SCOPED_TRACE(capacity);
        GuardedBuffer<char> buffer(capacity);
        int32_t state = 7, http = 7;
        EXPECT_EQ(Movu_PollA(id, &state, &http, buffer.data(), capacity), -404);
        EXPECT_EQ(state, -1);
        EXPECT_EQ(http, 404);
        EXPECT_TRUE(buffer.GuardsIntact());
        if (capacity < 1) {
            EXPECT_TRUE(buffer.Untouched());
            continue;
        }
        const std::string expected = text.substr(0, capacity - 1);
        EXPECT_EQ(std::string(buffer.data(), expected.size()), expected);
        EXPECT_EQ(buffer.data()[expected.size()], '\0');
        for (size_t i = expected.size() + 1; i < buffer.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(buffer.data()[i]), GuardedBuffer<char>::kFill);
    }
    // No buffer, or no room: the result without a copy.
    GuardedBuffer<char> none(4);
    EXPECT_EQ(Movu_PollA(id, nullptr, nullptr, none.data(), 0), -404);
    EXPECT_EQ(Movu_PollA(id, nullptr, nullptr, none.data(), -5), -404);
    EXPECT_EQ(Movu_PollA(id, nullptr, nullptr, nullptr, 100), -404);
    EXPECT_TRUE(none.Untouched());
}

TEST_F(Jobs, FinishedJobStaysUntilCancelled) {
    ScriptToken("T1");
    site().Script(kPing, Answer(200, "{\"pong\":true}", true));
    const int32_t id = StartPing();
    const Outcome first = WaitFinished(id);
    ASSERT_EQ(first.state, 1);
    // Other jobs come and go; this one keeps its answer.
    for (int i = 0; i < 3; ++i) {
        const int32_t other = StartPing();
        WaitFinished(other);
        EXPECT_EQ(Movu_Cancel(other), 0);
    }
    const Outcome again = WaitFinished(id);
    EXPECT_EQ(again.rc, first.rc);
    EXPECT_EQ(again.state, first.state);
    EXPECT_EQ(again.http, 200);
    EXPECT_EQ(again.text, "{\"pong\":true}");

    EXPECT_EQ(Movu_Cancel(id), 0);
    EXPECT_EQ(Movu_Cancel(id), -2);
    int32_t state = 7, http = 7;
    GuardedBuffer<char> buffer(32);
    EXPECT_EQ(Movu_PollA(id, &state, &http, buffer.data(), 32), -2);
    EXPECT_EQ(state, -1);
    EXPECT_EQ(http, 0);
    EXPECT_TRUE(buffer.Untouched());
    EXPECT_EQ(Movu_Cancel(0), -2);
    EXPECT_EQ(Movu_PollA(-1, nullptr, nullptr, nullptr, 0), -2);
}

// ---- many at once ------------------------------------------------------------------------

TEST_F(Jobs, ThousandJobsFromSeveralThreadsAllArrive) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 125;
    ScriptToken("T1");
    ScriptedResponse slow = Answer(200, "stress-answer", true);
    slow.delay_ms = 100;
    site().Script(kPing, slow);
    ASSERT_EQ(WaitFinished(StartPing()).state, 1);
    site().ClearRequests();

    struct Lane {
        std::vector<int32_t> ids;
        int refused = 0, wrong = 0, cancelFailed = 0, stillThere = 0;
    };
    std::vector<Lane> lanes(kThreads);
    const std::string account = account8_;
    auto lane = [&](Lane& l, bool wide) {
        for (int i = 0; i < kPerThread; ++i) {
            int32_t id = 0;
            const int32_t rc = wide ? Movu_StartPingW(W(Widen(account)), nullptr, nullptr, nullptr, nullptr, &id)
                                    : Movu_StartPingA(account.c_str(), "", "", "", "", &id);
            if (rc != 0) ++l.refused;
            else l.ids.push_back(id);
        }
        std::vector<char> buffer(64);
        std::vector<int32_t> pending = l.ids;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!pending.empty() && std::chrono::steady_clock::now() < deadline) {
            std::vector<int32_t> next;
            for (int32_t id : pending) {
                int32_t state = 0, http = 0;
                const int32_t rc = Movu_PollA(id, &state, &http, buffer.data(), 64);
                if (state == 0 && rc == 0) {
                    next.push_back(id);
                    continue;
                }
                if (rc != 0 || state != 1 || http != 200 || std::string(buffer.data()) != "stress-answer") ++l.wrong;
                if (Movu_Cancel(id) != 0) ++l.cancelFailed;
                if (Movu_PollA(id, nullptr, nullptr, nullptr, 0) != -2) ++l.stillThere;
            }
            pending.swap(next);
            if (!pending.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        l.wrong += static_cast<int>(pending.size());
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(lane, std::ref(lanes[t]), t % 2 == 1);
    for (auto& t : threads) t.join();

    std::set<int32_t> all;
    for (const Lane& l : lanes) {
        EXPECT_EQ(l.refused, 0);
        EXPECT_EQ(l.wrong, 0);
        EXPECT_EQ(l.cancelFailed, 0);
        EXPECT_EQ(l.stillThere, 0);
        for (int32_t id : l.ids) {
            EXPECT_GT(id, 0);
            all.insert(id);
        }
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(site().Requests(kPing).size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
