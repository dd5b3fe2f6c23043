// Background jobs through the exports: start, poll, cancel, the worker's walk
// over the base URLs, and many jobs at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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
// The path on which the test library's workers run out of memory.
constexpr const char* kOutOfMemoryHook = "/movu-test/worker-out-of-memory";

using StartFn = std::function<int32_t(int32_t*)>;

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

class Jobs : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        if (HasFatalFailure()) return;
        UseNoCacheFile();
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

    std::vector<int32_t> started_;
};

// ---- starting ----------------------------------------------------------------

// A refused start takes no id, leaves 0 in the out value and sends nothing.
TEST_F(Jobs, RefusedStartsConsumeNoIdAndLeaveZero) {
    ScriptToken("T1");
    site().Script(kPing, Answer(200, "pong", true));
    const int32_t first = StartPing();
    ASSERT_GT(first, 0);

    struct Case {
        const char* what;
        int32_t expected;
        StartFn start;
    };
    const char* a = acc();
    const movu_char16* w = account();
    const movu_char16* ping = W(u"/v1/client/ping.php");
    // clang-format off
    const std::vector<Case> cases = {
        {"A null account", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(nullptr, "", "", "", "", kPing, "", "GET", "", o); }},
        {"A null path", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", nullptr, "", "GET", "", o); }},
        {"A null method", -2, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", kPing, "", nullptr, "", o); }},
        {"A empty path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", "", "", "GET", "", o); }},
        {"A empty method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedA(a, "", "", "", "", kPing, "", "", "", o); }},
        {"W null path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(w, 0, 0, 0, 0, nullptr, nullptr, W(u"GET"), nullptr, o); }},
        {"W null method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(w, 0, 0, 0, 0, ping, nullptr, nullptr, nullptr, o); }},
        {"W blank path", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(w, 0, 0, 0, 0, W(u" \t\u3000"), nullptr, W(u"GET"), nullptr, o); }},
        {"W blank method", -3, [&](int32_t* o) { return Movu_GetAsyncSignedW(w, 0, 0, 0, 0, ping, nullptr, W(u"  "), nullptr, o); }},
        {"ping A null account", -2, [&](int32_t* o) { return Movu_StartPingA(nullptr, "", "", "", "", o); }},
        {"register A null account", -2, [&](int32_t* o) { return Movu_StartRegisterA(nullptr, "", "", "", "", o); }},
        {"vip A null account", -2, [&](int32_t* o) { return Movu_StartVipStatusA(nullptr, "", "", "", "", o); }},
        {"day A null account", -2, [&](int32_t* o) { return Movu_StartCalendarDayA(nullptr, "", "", "", "", "2024-01-02", o); }},
        {"meta A null account", -2, [&](int32_t* o) { return Movu_StartCalendarMetaA(nullptr, "", "", "", "", "2024-01-02", o); }},
    };
    // clang-format on
    for (const Case& c : cases) {
        int32_t out = 12345;
        EXPECT_EQ(c.start(&out), c.expected) << c.what;
        EXPECT_EQ(out, 0) << c.what;
    }
    // Without an out value a start is refused before anything else.
    EXPECT_EQ(Movu_GetAsyncSignedA(nullptr, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr), -1);

    // None of them took an id or reached the service.
    EXPECT_EQ(StartPing(), first + 1);
    ASSERT_TRUE(WaitForRequests(site(), kPing, 2));
    WaitFinished(first + 1);
    EXPECT_EQ(site().Requests(kPing).size(), 2u);

    // The UTF-16 form takes a null account: its job fails without a token.
    const size_t tokenAsks = site().Requests(kTokenPath).size();
    int32_t id = 0;
    ASSERT_EQ(Movu_StartPingW(nullptr, W(u"MT5"), nullptr, nullptr, nullptr, &id), 0);
    const Outcome o = WaitFinished(Track(id));
    EXPECT_EQ(std::tie(o.rc, o.state, o.http), std::make_tuple(-2, -1, 0));
    EXPECT_EQ(o.text, R"({"ok":false,"error":"TOKEN_FETCH_FAILED","rc":-2})");
    EXPECT_EQ(site().Requests(kPing).size(), 2u);
    EXPECT_EQ(site().Requests(kTokenPath).size(), tokenAsks);
    for (const char* path : {kDay, kMeta, kRegister, kVip}) EXPECT_TRUE(site().Requests(path).empty()) << path;
}

// Each start's request: its path, the date only when given, the token and the
// trimmed identity. Without an out value the same start is refused (-1).
TEST_F(Jobs, EveryStartSendsItsRequestWithTheIdentity) {
    ScriptToken("T1");
    for (const char* path : {kPing, kRegister, kVip, kDay, kMeta}) site().Script(path, Answer(200, path, true));
    const char* a = acc();
    const std::u16string padded = u"  " + account_ + u"\t";
#define MOVU_A a, "MT5", "Brk", "Srv", "2.1"
#define MOVU_W W(padded), W(u" MT5 "), W(u"Brk"), W(u"Srv\n"), W(u"2.1")
    // clang-format off
    const std::string full = "MT5|Brk|Srv|2.1|";
    const std::vector<std::tuple<StartFn, std::string, std::string>> cases = {
        {[&](int32_t* o) { return Movu_StartPingA(MOVU_A, o); }, kPing, full},
        {[&](int32_t* o) { return Movu_StartPingW(MOVU_W, o); }, kPing, full},
        {[&](int32_t* o) { return Movu_StartRegisterA(MOVU_A, o); }, kRegister, full},
        {[&](int32_t* o) { return Movu_StartRegisterW(MOVU_W, o); }, kRegister, full},
        {[&](int32_t* o) { return Movu_StartVipStatusA(MOVU_A, o); }, kVip, full},
        {[&](int32_t* o) { return Movu_StartVipStatusW(MOVU_W, o); }, kVip, full},
        {[&](int32_t* o) { return Movu_StartCalendarDayA(MOVU_A, "", o); }, kDay, full},
        {[&](int32_t* o) { return Movu_StartCalendarDayA(MOVU_A, "2024 05", o); }, "/v1/calendar/day.php?date=2024%2005", full},
        {[&](int32_t* o) { return Movu_StartCalendarDayW(MOVU_W, W(u"  \t "), o); }, kDay, full},
        {[&](int32_t* o) { return Movu_StartCalendarDayW(MOVU_W, W(u" 2024-05-01 "), o); }, "/v1/calendar/day.php?date=2024-05-01", full},
        {[&](int32_t* o) { return Movu_StartCalendarMetaA(MOVU_A, "2024-05-01", o); }, "/v1/calendar/meta.php?date=2024-05-01", full},
        {[&](int32_t* o) { return Movu_StartCalendarMetaW(MOVU_W, nullptr, o); }, kMeta, full},
        {[&](int32_t* o) { return Movu_GetAsyncSignedA(MOVU_A, kPing, "", "GET", "", o); }, kPing, full},
        {[&](int32_t* o) { return Movu_GetAsyncSignedW(MOVU_W, W(u"/v1/client/ping.php"), nullptr, W(u"GET"), nullptr, o); }, kPing, full},
        // Identity values left empty or out still give their header line, empty.
        {[&](int32_t* o) { return Movu_StartPingA(a, "", nullptr, " ", nullptr, o); }, kPing, "||||"},
    };
    // clang-format on
#undef MOVU_A
#undef MOVU_W
    for (const auto& [start, target, identity] : cases) {
        SCOPED_TRACE(target);
        const std::string path = target.substr(0, target.find('?'));
        site().ClearRequests();
        EXPECT_EQ(start(nullptr), -1);
        int32_t id = 0;
        ASSERT_EQ(start(&id), 0);
        const Outcome o = WaitFinished(Track(id));
        EXPECT_EQ(std::tie(o.rc, o.state, o.http, o.text), std::make_tuple(0, 1, 200, path));
        const auto requests = site().Requests(path);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].target, target);
        EXPECT_EQ(requests[0].method, "GET");
        std::string lines;  // "-" for a line missing, each value as sent
        for (const char* name :
             {"Authorization", "X-Client-Token", "X-Account", "X-Platform", "X-Broker", "X-Server", "X-Client-Version"})
            lines += requests[0].Header(name).value_or("-") + (requests[0].HeaderCount(name) > 1 ? "*|" : "|");
        EXPECT_EQ(lines, "Bearer T1|T1|" + account8_ + "|" + identity);
    }
}

TEST_F(Jobs, GeneralStartPassesMethodQueryAndBody) {
    ScriptToken("T1");
    site().Script("/v1/custom.php", Answer(200, "custom", true));
    int32_t id = 0;
    ASSERT_EQ(Movu_GetAsyncSignedA(acc(), nullptr, nullptr, nullptr, nullptr, "/v1/custom.php",
                                   "since=5&date=2024-01-02", "POST", "{\"a\": 1}", &id),
              0);
    EXPECT_EQ(WaitFinished(Track(id)).text, "custom");
    ASSERT_EQ(Movu_GetAsyncSignedW(W(u" " + account_), nullptr, nullptr, nullptr, nullptr, W(u" /v1/custom.php "),
                                   W(u" x=a b "), W(u" PUT "), W(u"  keep  "), &id),
              0);
    ASSERT_EQ(WaitFinished(Track(id)).state, 1);

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

// The worker's walk, and its own envelope when no attempt brought a text.
TEST_F(Jobs, TheWalkOverBaseUrlsEndsAtTheFirstSuccessAndKeepsTheLastBody) {
    enum Next { None, Unusable, Second };
    struct Case {
        const char* what;
        std::string path;
        std::vector<ScriptedResponse> first;
        Next next;
        ScriptedResponse second;
        int32_t rc, state, http;
        std::string text;
        size_t secondRequests;
    };
    const auto ping = std::string(kPing), quoted = std::string("/v1/a\"b.php");
    const auto noResponse = [&](int rc, int http, const std::string& path) {
        return R"({"ok":false,"error":"NO_RESPONSE","rc":)" + std::to_string(rc) + R"(,"http":)" +
               std::to_string(http) + R"(,"path":")" + (path == ping ? path : R"(/v1/a\"b.php)") + R"("})";
    };
    // clang-format off
    const Case cases[] = {
        // The unusable second entry ends its attempt with no text at all.
        {"later attempt without body keeps earlier body", ping, {Answer(500, "first answer", true)}, Unusable, {}, -10, -1, 0, "first answer", 0},
        {"success without body", ping, {Answer(204, "", true)}, None, {}, 0, 1, 204, noResponse(0, 204, ping), 0},
        {"every base URL failing without body", ping, {Answer(503, "", true)}, Second, Answer(503, "", true), -500, -1, 503, noResponse(-500, 503, ping), 1},
        {"first success stops the walk", ping, {Answer(200, "from first", true)}, Second, Answer(200, "from second", true), 0, 1, 200, "from first", 0},
        {"a quote in the path", quoted, {Answer(503, "", true)}, None, {}, -500, -1, 503, noResponse(-500, 503, quoted), 0},
        {"401, then the renewed token's answer", ping, {Answer(401, "expired"), Answer(200, "second")}, Second, Answer(200, "never", true), 0, 1, 200, "second", 0},
        // The test library's out-of-memory path is an ordinary path here.
        {"no test hook in the shipped library", kOutOfMemoryHook, {Answer(200, "plain", true)}, None, {}, 0, 1, 200, "plain", 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Site first = TestService::Instance().OpenSite(), second = TestService::Instance().OpenSite();
        first.Script(kTokenPath, TokenAnswer("T1", true));
        // Whether a quote travels raw or percent-encoded is the HTTP stack's choice.
        std::string encoded = c.path;
        if (const size_t q = encoded.find('"'); q != std::string::npos) encoded.replace(q, 1, "%22");
        for (const std::string& p : {c.path, encoded}) first.Script(p, c.first);
        if (c.next == Second) second.Script(c.path, c.second);
        const std::string next = c.next == None ? "" : c.next == Unusable ? ";ftp://x" : ";" + second.BaseUrl();
        Movu_SetBaseUrls(W(Widen(first.BaseUrl() + next)));
        int32_t id = 0;
        ASSERT_EQ(Movu_GetAsyncSignedA(acc(), "MT5", "", "", "", c.path.c_str(), "", "GET", "", &id), 0);
        const Outcome o = WaitFinished(Track(id));
        EXPECT_EQ(o.rc, c.rc);
        EXPECT_EQ(o.state, c.state);
        EXPECT_EQ(o.http, c.http);
        EXPECT_EQ(o.text, c.text);
        EXPECT_EQ(first.Requests().size() - first.Requests(kTokenPath).size(), c.first.size());
        EXPECT_EQ(second.Requests(c.path).size(), c.secondRequests);
    }
}

// Cases that need a test hook: they run on movu_mt5_testhooks (see api_main.cpp).
class JobsHook : public Jobs {};

// A worker that runs out of memory ends its job with the internal error, and
// sends nothing.
TEST_F(JobsHook, AWorkerOutOfMemoryEndsInAnInternalError) {
    ScriptToken("T1");
    site().Script(kOutOfMemoryHook, Answer(200, "never", true));
    int32_t id = 0;
    ASSERT_EQ(Movu_GetAsyncSignedA(acc(), "MT5", "", "", "", kOutOfMemoryHook, "", "GET", "", &id), 0);
    const Outcome o = WaitFinished(Track(id));
    EXPECT_EQ(o.rc, -99);
    EXPECT_EQ(o.state, -1);
    EXPECT_EQ(o.http, 0);
    EXPECT_EQ(o.text, R"({"ok":false,"error":"INTERNAL_ERROR","rc":-99})");
    EXPECT_TRUE(site().Requests(kOutOfMemoryHook).empty());
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
    site().Script(kPing, Fault("stall", true));
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

// A finished job keeps its result while others come and go, copies it cut to
// any capacity, and is gone once cancelled.
TEST_F(Jobs, FinishedJobKeepsItsResultUntilCancelled) {
    ScriptToken("T1");
    site().Script(kPing, Answer(404, "hello", true));
    const int32_t id = StartPing();
    ASSERT_EQ(WaitFinished(id).state, -1);
    for (int i = 0; i < 3; ++i) {
        const int32_t other = StartPing();
        WaitFinished(other);
        EXPECT_EQ(Movu_Cancel(other), 0);
    }

    // Copied cut to the capacity (the copy itself is checked byte by byte
    // with the synchronous exports); no buffer or no room: no copy at all.
    for (int32_t capacity : {-5, 0, 1, 3, 6, 9}) {
        GuardedBuffer<char> buffer(capacity);
        int32_t state = 7, http = 7;
        EXPECT_EQ(Movu_PollA(id, &state, &http, buffer.data(), capacity), -404);
        EXPECT_EQ(std::tie(state, http), std::make_tuple(-1, 404));
        EXPECT_TRUE(capacity < 1 ? buffer.Untouched()
                                 : std::string(buffer.data()) == std::string("hello").substr(0, capacity - 1))
            << capacity;
        EXPECT_TRUE(buffer.GuardsIntact());
    }
    EXPECT_EQ(Movu_PollA(id, nullptr, nullptr, nullptr, 100), -404);

    EXPECT_EQ(Movu_Cancel(id), 0);
    EXPECT_EQ(Movu_Cancel(id), -2);
    ExpectStaysGone(id, std::chrono::milliseconds(0));
    EXPECT_EQ(Movu_Cancel(0), -2);
    EXPECT_EQ(Movu_PollA(-1, nullptr, nullptr, nullptr, 0), -2);
}

}  // namespace
