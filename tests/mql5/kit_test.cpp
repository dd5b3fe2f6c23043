// The MQL5 kit's logic, compiled through the shim: the JSON reader against
// hostile text, the typed answers of the dev server, time conversion, and
// CMovuClient's pacing, identity and tester behaviour.
#include "mql5_shim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "library_loader.h"
#include "temp_folder.h"

// The library's own declarations, apart from the MQL5 imports of the same names.
namespace real {
#include "movu_mt5.h"
}

// ---- the DLL side: the real library, or a script for the pacing tests -------

struct Script {
    bool on = false;
    int start_rc = 0;  // what a start returns
    int next_id = 1;
    std::vector<std::string> accounts;  // the account of every DLL call
    int poll_state = 1, poll_rc = 0, poll_http = 200;
    std::string poll_text = "{}", sync_text = "{}";
    int sync_rc = 0;
};
static Script script;
static movu::test::Library& Real() {
    static movu::test::Library lib(movu::test::Library::DefaultPath());
    return lib;
}
#define REAL(name) Real().Symbol<decltype(&real::name)>(#name)

static const char16_t* W(const string& s) { return s.units().c_str(); }
static const char* B(const MqlArray<uchar>& a) { return reinterpret_cast<const char*>(a.items().data()); }
static char* B(MqlArray<uchar>& a) { return reinterpret_cast<char*>(a.items().data()); }
static int Sync(const string& account, MqlArray<uchar>& buf, int cap) {
    script.accounts.push_back(account.utf8());
    std::snprintf(B(buf), static_cast<size_t>(cap), "%s", script.sync_text.c_str());
    return script.sync_rc;
}
static int Start(const MqlArray<uchar>& account, int& id) {
    script.accounts.push_back(B(account));
    if (script.start_rc == 0) id = script.next_id++;
    return script.start_rc;
}

void Movu_SetBaseUrl(string url) {
    if (!script.on) REAL(Movu_SetBaseUrl)(W(url));
}
void Movu_SetBaseUrls(string) {}
void Movu_SetProductSecret(string) {}
void Movu_SetTerminalDataPath(string) {}
int Movu_CalendarDayA(string a, string p, string b, string s, string v, string d, MqlArray<uchar>& buf, int cap) {
    if (script.on) return Sync(a, buf, cap);
    return REAL(Movu_CalendarDayA)(W(a), W(p), W(b), W(s), W(v), W(d), B(buf), cap);
}
int Movu_CalendarMetaA(string a, string p, string b, string s, string v, string d, MqlArray<uchar>& buf, int cap) {
    if (script.on) return Sync(a, buf, cap);
    return REAL(Movu_CalendarMetaA)(W(a), W(p), W(b), W(s), W(v), W(d), B(buf), cap);
}
int Movu_CalendarChangesA(string a, string p, string b, string s, string v, string d, long since, MqlArray<uchar>& buf,
                          int cap) {
    if (script.on) return Sync(a, buf, cap);
    return REAL(Movu_CalendarChangesA)(W(a), W(p), W(b), W(s), W(v), W(d), since, B(buf), cap);
}
int Movu_HeartbeatA(string a, string, string, string, string, string, MqlArray<uchar>& buf, int cap) {
    return Sync(a, buf, cap);
}
int Movu_VipStatusA(string a, string, string, string, string, MqlArray<uchar>& buf, int cap) {
    return Sync(a, buf, cap);
}
int Movu_GetAsyncSignedA(const MqlArray<uchar>& a, const MqlArray<uchar>& p, const MqlArray<uchar>& b,
                         const MqlArray<uchar>& s, const MqlArray<uchar>& v, const MqlArray<uchar>& path,
                         const MqlArray<uchar>& query, const MqlArray<uchar>& method, const MqlArray<uchar>& body,
                         int& id) {
    if (script.on) return Start(a, id);
    return REAL(Movu_GetAsyncSignedA)(B(a), B(p), B(b), B(s), B(v), B(path), B(query), B(method), B(body), &id);
}
int Movu_StartCalendarDayA(const MqlArray<uchar>& a, const MqlArray<uchar>& p, const MqlArray<uchar>& b,
                           const MqlArray<uchar>& s, const MqlArray<uchar>& v, const MqlArray<uchar>& d, int& id) {
    if (script.on) return Start(a, id);
    return REAL(Movu_StartCalendarDayA)(B(a), B(p), B(b), B(s), B(v), B(d), &id);
}
int Movu_StartCalendarMetaA(const MqlArray<uchar>& a, const MqlArray<uchar>&, const MqlArray<uchar>&,
                            const MqlArray<uchar>&, const MqlArray<uchar>&, const MqlArray<uchar>&, int& id) {
    return Start(a, id);
}
int Movu_StartPingA(const MqlArray<uchar>& a, const MqlArray<uchar>&, const MqlArray<uchar>&, const MqlArray<uchar>&,
                    const MqlArray<uchar>&, int& id) {
    return Start(a, id);
}
int Movu_StartRegisterA(const MqlArray<uchar>& a, const MqlArray<uchar>&, const MqlArray<uchar>&,
                        const MqlArray<uchar>&, const MqlArray<uchar>&, int& id) {
    return Start(a, id);
}
int Movu_StartVipStatusA(const MqlArray<uchar>& a, const MqlArray<uchar>&, const MqlArray<uchar>&,
                         const MqlArray<uchar>&, const MqlArray<uchar>&, int& id) {
    return Start(a, id);
}
int Movu_PollA(int id, int& state, int& http, MqlArray<uchar>& buf, int cap) {
    if (!script.on) return REAL(Movu_PollA)(id, &state, &http, B(buf), cap);
    state = script.poll_state;
    http = script.poll_http;
    if (state != 0) std::snprintf(B(buf), static_cast<size_t>(cap), "%s", script.poll_text.c_str());
    return script.poll_rc;
}
int Movu_Cancel(int id) { return script.on ? 0 : REAL(Movu_Cancel)(id); }
int Movu_ProtectTextW(string, MqlArray<uchar>&, int) { return -99; }
int Movu_UnprotectTextW(string, MqlArray<uchar>&, int) { return -99; }
int Movu_OpenUrl(string) { return -99; }

#include <movu_mt5.mqh>

namespace {

std::string U8(const string& s) { return s.utf8(); }

// ---- the JSON reader -----------------------------------------------------------

struct JsonCase {
    const char* text;
    bool ok;
    const char* value;  // expected string of member "v", or nullptr
    double number;      // expected number of member "v" when value is nullptr
};

TEST(MqlJson, AcceptsStrictJsonAndRefusesTheRest) {
    const double nan = std::nan("");
    const JsonCase cases[] = {
        {R"({"v":"a {b} [c] \"d\" , : }"})", true, "a {b} [c] \"d\" , : }", nan},
        {R"({"v":"\u00e9\uD83D\uDE00\/\b\f\n\r\t\\"})", true, "\xC3\xA9\xF0\x9F\x98\x80/\b\f\n\r\t\\", nan},
        {" \t\r\n{\"v\" : \"x\" } \n", true, "x", nan},
        {R"({"w":{"v":"inner"},"v":"outer"})", true, "outer", nan},
        {R"({"v":0})", true, nullptr, 0},
        {R"({"v":-0})", true, nullptr, 0},
        {R"({"v":-12})", true, nullptr, -12},
        {R"({"v":0.1})", true, nullptr, 0.1},
        {R"({"v":-1.5e-3})", true, nullptr, -1.5e-3},
        {R"({"v":1E+2})", true, nullptr, 100},
        {R"({"v":2.5E-1})", true, nullptr, 0.25},
        {R"({"v":123456789.125})", true, nullptr, 123456789.125},
        {R"({"v":1e-400})", true, nullptr, 0},
        {R"({"v":1e400})", false, nullptr, nan},
        {R"({"v":01})", false, nullptr, nan},
        {R"({"v":1.})", false, nullptr, nan},
        {R"({"v":.5})", false, nullptr, nan},
        {R"({"v":+1})", false, nullptr, nan},
        {R"({"v":1e})", false, nullptr, nan},
        {R"({"v":1e+})", false, nullptr, nan},
        {R"({"v":-})", false, nullptr, nan},
        {R"({"v":0x10})", false, nullptr, nan},
        {R"({"v":NaN})", false, nullptr, nan},
        {R"({"v":Infinity})", false, nullptr, nan},
        {R"({"v":tru})", false, nullptr, nan},
        {R"({"v":1,})", false, nullptr, nan},
        {R"([1,])", false, nullptr, nan},
        {R"({"v" 1})", false, nullptr, nan},
        {R"({'v':1})", false, nullptr, nan},
        {R"({"v":1}{"w":2})", false, nullptr, nan},
        {R"({"v":1,"v":2})", false, nullptr, nan},
        {R"({"v":"\u12"})", false, nullptr, nan},
        {R"({"v":"\x41"})", false, nullptr, nan},
        {R"({"v":"\u0000"})", false, nullptr, nan},
        {"{\"v\":\"a\nb\"}", false, nullptr, nan},
        {R"({"v":"\"})", false, nullptr, nan},
        {"", false, nullptr, nan},
        {"   ", false, nullptr, nan},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CMovuJson json;
        ASSERT_EQ(json.Parse(c.text), c.ok) << U8(json.Error());
        if (!c.ok) {
            EXPECT_NE(U8(json.Error()), "");
            EXPECT_EQ(json.Root(), -1);
            continue;
        }
        int v = json.Member(json.Root(), "v");
        string s;
        double d = -1;
        if (c.value) {
            EXPECT_TRUE(json.GetString(v, s) && U8(s) == c.value) << U8(s);
        } else {
            EXPECT_TRUE(json.GetNumber(v, d) && d == c.number) << d;
        }
    }
}

TEST(MqlJson, WholeNumbersKeepEveryDigitAndNestingIsBounded) {
    CMovuJson json;
    long n = 0;
    ASSERT_TRUE(json.Parse("[9007199254740993,-9223372036854775808,9223372036854775808,1.0]"));
    int first = json.First(json.Root());
    EXPECT_TRUE(json.GetLong(first, n) && n == 9007199254740993L);
    EXPECT_TRUE(json.GetLong(json.Next(first), n) && n == -9223372036854775807L - 1);
    EXPECT_FALSE(json.GetLong(json.Next(json.Next(first)), n));  // too big for a long: a double only
    EXPECT_FALSE(json.GetLong(json.Next(json.Next(json.Next(first))), n));
    for (int depth : {MOVU_JSON_MAX_DEPTH, MOVU_JSON_MAX_DEPTH + 1, 100000}) {
        std::string deep = std::string(depth, '[') + std::string(depth, ']');
        EXPECT_EQ(json.Parse(deep.c_str()), depth <= MOVU_JSON_MAX_DEPTH) << depth;
    }
}

// ---- time, escaping ----------------------------------------------------------------

TEST(MqlTime, ReadsRfc3339WithEveryZoneAndRefusesTheRest) {
    const struct {
        const char* text;
        long utc;
    } cases[] = {
        {"2024-03-05T13:30:00Z", 1709645400},
        {"2024-03-05t13:30:00z", 1709645400},
        {"2024-03-05 13:30:00Z", 1709645400},
        {"2024-03-05T15:30:00.250+02:00", 1709645400},
        {"2024-03-05T08:00:00-05:30", 1709645400},
        {"2024-02-29T00:00:00Z", 1709164800},
        {"2016-12-31T23:59:60Z", 1483228799},
        {"1970-01-01T00:00:00Z", 0},
        {"2023-02-29T00:00:00Z", -1},
        {"2024-03-05T24:00:00Z", -1},
        {"2024-03-05T13:30:00", -1},
        {"2024-03-05T13:30:00+0200", -1},
        {"2024-03-05T13:30:00.Z", -1},
        {"2024-03-05T13:30:00Z ", -1},
        {"2024-13-05T13:30:00Z", -1},
        {"1709645400", -1},
    };
    for (const auto& c : cases) {
        datetime t = -1;
        EXPECT_EQ(MovuParseTime(c.text, t), c.utc >= 0) << c.text;
        if (c.utc >= 0) {
            EXPECT_EQ(t, c.utc) << c.text;
        }
    }
}

TEST(MqlTime, ServerOffsetIsRoundedToQuarterHoursAndGivenInTheTester) {
    const struct {
        datetime gmt, server;
        bool tester;
        int given, offset;
    } cases[] = {
        {1709645400, 1709645400 + 7213, false, 0, 7200},
        {1709645400, 1709645400 - 10790, false, 0, -10800},
        {1709645400, 1709645400 + 19800 - 4, false, 0, 19800},
        {1709645400, 1709645400 + 7200, true, 10800, 10800},  // TimeGMT is the server time there
    };
    for (const auto& c : cases) {
        mql5::terminal.gmt = c.gmt;
        mql5::terminal.server = c.server;
        mql5::terminal.current = c.server;
        mql5::terminal.tester = c.tester;
        EXPECT_EQ(MovuServerOffset(c.given), c.offset);
        EXPECT_EQ(MovuNowUtc(c.given), c.tester ? c.server - c.given : c.gmt);
    }
    mql5::terminal.tester = false;
    EXPECT_EQ(MovuUtcToServer(1709645400, 7200), 1709652600);
}

TEST(MqlJsonString, EscapesWhatJsonRequiresAndReadsBack) {
    const char* texts[] = {"plain", "quote \" back \\ slash", "line\nfeed\r\ttab", "\x01\x1f ctl",
                           "{\"}",  "\xC3\xA9\xE2\x82\xAC"};
    for (const char* t : texts) {
        string quoted = MovuJsonString(t);
        CMovuJson json;
        string back;
        ASSERT_TRUE(json.Parse(quoted)) << U8(quoted) << " " << U8(json.Error());
        EXPECT_TRUE(json.GetString(json.Root(), back) && U8(back) == t) << U8(quoted);
    }
    EXPECT_EQ(U8(MovuJsonString("a\"b\x01")), "\"a\\\"b\\u0001\"");
}

// ---- typed answers ---------------------------------------------------------------

std::string Event(const std::string& members) {
    return R"({"ok":true,"events":[{"id":7,"title":"T","time":"2024-03-05T13:30:00Z")" + members + "}]}";
}

TEST(MqlEvents, MembersAreReadOrTheAnswerIsRefused) {
    const struct {
        std::string answer;
        bool ok;
        bool has_actual;
        double actual;
        long time;
        int importance;
    } cases[] = {
        {Event(R"(,"actual":1.5,"importance":"high")"), true, true, 1.5, 1709645400, MOVU_IMPORTANCE_HIGH},
        {Event(""), true, false, 0, 1709645400, MOVU_IMPORTANCE_UNKNOWN},
        {Event(R"(,"actual":null,"importance":2)"), true, false, 0, 1709645400, MOVU_IMPORTANCE_MEDIUM},
        {Event(R"(,"actual":"","importance":"urgent")"), true, false, 0, 1709645400, MOVU_IMPORTANCE_UNKNOWN},
        {R"({"events":[{"id":7,"title":"T","timestamp":1709645400,"actual":-0.2}]})", true, true, -0.2, 1709645400, 0},
        {R"({"events":[{"id":7,"title":"T","time":"2024-03-05T15:30:00+02:00"}]})", true, false, 0, 1709645400, 0},
        {Event(R"(,"actual":"1.5")"), false, false, 0, 0, 0},
        {Event(R"(,"currency":5)"), false, false, 0, 0, 0},
        {Event(R"(,"updated_at":"soon")"), false, false, 0, 0, 0},
        {R"({"events":[{"title":"T","time":"2024-03-05T13:30:00Z"}]})", false, false, 0, 0, 0},
        {R"({"events":[{"id":7,"time":"2024-03-05T13:30:00Z"}]})", false, false, 0, 0, 0},
        {R"({"events":[{"id":7,"title":"T","time":"2024-03-05T13:30:00"}]})", false, false, 0, 0, 0},
        {R"({"events":[{"id":7.5,"title":"T","time":0}]})", false, false, 0, 0, 0},
        {R"({"ok":false,"error":"RATE_LIMITED"})", false, false, 0, 0, 0},
        {R"({"ok":true})", false, false, 0, 0, 0},
        {R"([])", false, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        MqlArray<MovuCalendarEvent> events;
        string error;
        ASSERT_EQ(MovuParseEvents(c.answer.c_str(), events, error), c.ok) << U8(error);
        if (!c.ok) {
            EXPECT_EQ(ArraySize(events), 0);
            EXPECT_NE(U8(error), "");
            continue;
        }
        ASSERT_EQ(ArraySize(events), 1);
        EXPECT_EQ(events[0].has_actual, c.has_actual);
        EXPECT_EQ(events[0].actual, c.actual);
        EXPECT_EQ(events[0].time, c.time);
        EXPECT_EQ(events[0].importance, c.importance);
    }
    MqlArray<MovuCalendarEvent> none;
    string error;
    MovuParseEvents(R"({"ok":false,"error":"RATE_LIMITED"})", none, error);
    EXPECT_NE(U8(error).find("RATE_LIMITED"), std::string::npos);
}

TEST(MqlEvents, ChangesReplaceByIdAddNewAndKeepTheDaySorted) {
    MqlArray<MovuCalendarEvent> day, changes;
    string error;
    ASSERT_TRUE(MovuParseEvents(R"({"events":[{"id":1,"title":"a","time":100,"updated_at":100},
        {"id":2,"title":"b","time":200,"updated_at":250},{"id":3,"title":"c","time":300}]})",
                                day, error));
    ASSERT_TRUE(MovuParseEvents(R"({"events":[{"id":3,"title":"c2","time":50,"actual":1},
        {"id":4,"title":"d","time":200,"updated_at":400},{"id":2,"title":"b2","time":200,"actual":2}]})",
                                changes, error));
    EXPECT_EQ(MovuMergeEvents(day, changes), 3);
    std::string order;
    for (const auto& e : day.items()) order += U8(e.title) + " ";
    EXPECT_EQ(order, "c2 a b2 d ");
    EXPECT_EQ(MovuLatestUpdate(day), 400);
}

// ---- the dev server's answers through the real library --------------------------

class DevServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* launcher = std::getenv("MOVU_DEVSERVER");
        ASSERT_NE(launcher, nullptr) << "MOVU_DEVSERVER names the dev server to start";
        ASSERT_TRUE(Real().loaded()) << Real().error();
        dir_ = new movu::test::TempFolder("mql5kit");
        std::string port_file = dir_->path().string() + "/port";
        std::string parent = std::to_string(getpid());
        pid_ = fork();
        if (pid_ == 0) {
            execl(launcher, launcher, "--port", "0", "--port-file", port_file.c_str(), "--parent-pid", parent.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string port;
        for (int i = 0; i < 300 && port.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream(port_file) >> port;
        }
        ASSERT_FALSE(port.empty()) << "the dev server did not start";
        base_ = "http://127.0.0.1:" + port;
    }
    static void TearDownTestSuite() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        delete dir_;
    }
    void SetUp() override {
        script = Script();
        mql5::terminal = mql5::Terminal();
        mql5::terminal.login = 5550123;
        Movu_SetBaseUrl(base_.c_str());
    }
    static inline pid_t pid_ = -1;
    static inline std::string base_;
    static inline movu::test::TempFolder* dir_ = nullptr;
};

TEST_F(DevServer, DayAnswersBecomeSortedTypedEventsAndEveryTruncationIsRefused) {
    CMovuClient client;
    client.SetPacing(0, 0, 0);
    for (const char* date : {"2024-03-04", "2024-03-05", "2024-03-09"}) {
        SCOPED_TRACE(date);
        string text, error;
        ASSERT_EQ(client.CalendarDay(date, text), MOVU_OK) << U8(text);
        MqlArray<MovuCalendarEvent> events;
        ASSERT_TRUE(MovuParseEvents(text, events, error)) << U8(error);
        CMovuJson json;
        long count = -1;
        ASSERT_TRUE(json.Parse(text) && json.GetLong(json.Member(json.Root(), "count"), count));
        EXPECT_EQ(ArraySize(events), count);
        for (int i = 0; i < ArraySize(events); ++i) {
            const auto& e = events[i];
            EXPECT_TRUE(e.has_actual && e.has_forecast && e.has_previous && e.importance != 0 &&
                        StringLen(e.currency) == 3);
            EXPECT_EQ(U8(MovuDate(e.time)), date);
            EXPECT_GE(e.updated, e.time);
            if (i > 0) {
                EXPECT_LE(events[i - 1].time, e.time);
            }
        }
        std::string whole = U8(text);
        for (size_t cut = 0; cut < whole.size(); ++cut)
            ASSERT_FALSE(MovuParseEvents(whole.substr(0, cut).c_str(), events, error)) << cut;
    }
    string meta, error;
    ASSERT_EQ(client.CalendarMeta("", meta), MOVU_OK);
    MqlArray<MovuCurrency> currencies;
    MqlArray<MovuSource> sources;
    MqlArray<MovuEventKind> kinds;
    ASSERT_TRUE(MovuParseMeta(meta, currencies, sources, kinds, error)) << U8(error);
    EXPECT_GT(ArraySize(currencies), 0);
    EXPECT_GT(ArraySize(sources), 0);
    ASSERT_GT(ArraySize(kinds), 0);
    for (const auto& k : kinds.items()) EXPECT_TRUE(k.weekdays != 0 && k.importance != 0) << U8(k.event);
}

TEST_F(DevServer, HeldDayFetchesTheDayThenMergesChangesInTheBackground) {
    CMovuClient client;
    client.SetPacing(0, 0, 0);
    CMovuCalendarDay day;
    day.Reset("2024-03-05");
    string whole;
    ASSERT_EQ(client.CalendarDay("2024-03-05", whole), MOVU_OK);
    MqlArray<MovuCalendarEvent> expected;
    string error;
    ASSERT_TRUE(MovuParseEvents(whole, expected, error));
    for (int round = 0; round < 2; ++round) {  // the whole day, then its changes
        ASSERT_EQ(day.Start(client), MOVU_OK);
        EXPECT_EQ(day.Start(client), MOVU_ERR_BUSY);
        int state = MOVU_JOB_RUNNING;
        for (int i = 0; i < 600 && state == MOVU_JOB_RUNNING; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            state = day.Poll(client);
        }
        ASSERT_EQ(state, MOVU_JOB_SUCCEEDED) << U8(day.Error());
        ASSERT_EQ(ArraySize(day.events), ArraySize(expected));
        for (int i = 0; i < ArraySize(expected); ++i) EXPECT_EQ(day.events[i].id, expected[i].id);
        EXPECT_EQ(day.since, MovuLatestUpdate(expected));
    }
    EXPECT_EQ(client.PendingJobs(), 0);
}

// ---- CMovuClient against a scripted DLL -------------------------------------------

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        script = Script();
        script.on = true;
        mql5::terminal = mql5::Terminal();
        mql5::terminal.login = 1001;
        mql5::terminal.files = dir_.path().string() + "/Files";
        mql5::terminal.common = dir_.path().string() + "/Common";
    }
    int Finish(CMovuClient& client, int id, int rc) {
        script.poll_rc = rc;
        script.poll_state = rc == 0 ? MOVU_JOB_SUCCEEDED : MOVU_JOB_FAILED;
        string text;
        int http = 0;
        return client.Poll(id, text, http);
    }
    movu::test::TempFolder dir_{"mql5client"};
};

TEST_F(Client, OneJobOfAKindAtATimeAndAMinimumInterval) {
    CMovuClient client;
    int day = client.StartCalendarDay("2024-03-05");
    ASSERT_GT(day, 0);
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_BUSY);
    EXPECT_GT(client.StartVipStatus(), 0);  // another kind is not held up
    Finish(client, day, 0);
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_TOO_SOON);
    EXPECT_EQ(client.WaitMs(MOVU_PATH_DAY), MOVU_MIN_INTERVAL_MS);
    mql5::terminal.ticks += MOVU_MIN_INTERVAL_MS;
    EXPECT_GT(client.StartCalendarDay("2024-03-05"), 0);
    EXPECT_EQ(script.accounts.size(), 3u);
}

TEST_F(Client, BacksOffAfterOverloadOrNoAnswerAndRetriesSoonAfterOtherFailures) {
    const struct {
        std::vector<int> outcomes;
        int wait_ms;
    } cases[] = {
        {{MOVU_ERR_TOO_MANY_REQUESTS}, MOVU_BACKOFF_FIRST_MS},
        {{-503, -500}, 2 * MOVU_BACKOFF_FIRST_MS},
        {{MOVU_ERR_CONNECT, MOVU_ERR_RECEIVE, -502}, 4 * MOVU_BACKOFF_FIRST_MS},
        {std::vector<int>(12, -429), MOVU_BACKOFF_MAX_MS},
        {{-429, 0}, MOVU_MIN_INTERVAL_MS},  // a success ends the back-off
        {{-404}, MOVU_MIN_INTERVAL_MS},
        {{MOVU_ERR_NO_ACCOUNT}, MOVU_MIN_INTERVAL_MS},
    };
    for (const auto& c : cases) {
        CMovuClient client;
        int wait = 0;
        for (int rc : c.outcomes) {
            mql5::terminal.ticks += 10 * MOVU_BACKOFF_MAX_MS;
            int id = client.StartVipStatus();
            ASSERT_GT(id, 0);
            Finish(client, id, rc);
            wait = client.WaitMs(MOVU_PATH_VIP);
        }
        EXPECT_EQ(wait, c.wait_ms) << c.outcomes.front() << " x" << c.outcomes.size();
        EXPECT_EQ(client.StartVipStatus(), c.wait_ms > 0 ? MOVU_ERR_TOO_SOON : 1);
    }
    // a start the library refused is retried after the minimum interval only
    CMovuClient client;
    script.start_rc = MOVU_ERR_THREAD;
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_THREAD);
    EXPECT_EQ(client.WaitMs(MOVU_PATH_DAY), MOVU_MIN_INTERVAL_MS);
    EXPECT_EQ(client.PendingJobs(), 0);
}

TEST_F(Client, IdentityIsReadBeforeEachRequestUnlessTheProgramSetOne) {
    mql5::terminal.login = 0;  // loaded before the terminal connected
    CMovuClient client;
    client.SetPacing(0, 0, 0);
    string text;
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_NO_ACCOUNT);
    EXPECT_EQ(client.VipStatus(text), MOVU_ERR_NO_ACCOUNT);
    EXPECT_TRUE(script.accounts.empty());  // nothing signed as account "0" or ""
    mql5::terminal.login = 1001;
    EXPECT_EQ(client.VipStatus(text), MOVU_OK);
    mql5::terminal.login = 2002;  // account switch
    EXPECT_EQ(client.VipStatus(text), MOVU_OK);
    client.SetIdentity("42", "MT5", "b", "s", "v");
    EXPECT_EQ(client.VipStatus(text), MOVU_OK);
    EXPECT_EQ(script.accounts, (std::vector<std::string>{"1001", "2002", "42"}));
}

TEST_F(Client, TesterReadsRecordedDaysAndMakesNoDllCall) {
    const string answer =
        R"({"ok":true,"date":"2024-03-05","events":[{"id":1,"title":"early","time":"2024-03-05T08:00:00Z","actual":1},
        {"id":2,"title":"late","time":"2024-03-05T15:00:00Z","actual":2}]})";
    for (int where : {MOVU_RECORD_LOCAL, MOVU_RECORD_COMMON}) {
        script.accounts.clear();
        std::filesystem::remove_all(dir_.path());
        CMovuClient live;
        live.SetPacing(0, 0, 0);
        live.SetRecording(where);
        script.sync_text = U8(answer);
        string text;
        for (int i = 0; i < 2; ++i) ASSERT_EQ(live.CalendarDay(" 2024-03-05 ", text), MOVU_OK);
        std::string file =
            (where == MOVU_RECORD_COMMON ? mql5::terminal.common : mql5::terminal.files) + "/" + MOVU_RECORD_FILE;
        std::ifstream in(file);
        std::string line, rest;
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_FALSE(std::getline(in, rest));  // an unchanged day is written once
        EXPECT_EQ(line.rfind("2024-03-05\t{", 0), 0u) << line;

        mql5::terminal.tester = true;
        mql5::terminal.current = 1709645400 + 7200;  // server time 15:30 at UTC+2: 13:30 UTC
        CMovuClient tester;
        tester.SetRecording(where);
        size_t calls = script.accounts.size();
        EXPECT_EQ(tester.StartCalendarDay("2024-03-05"), MOVU_ERR_TESTER);
        EXPECT_EQ(tester.CalendarDay("2024-03-06", text), MOVU_ERR_NOT_RECORDED);
        CMovuCalendarDay day;
        day.Reset("2024-03-05");
        day.SetTesterOffset(7200);
        EXPECT_EQ(day.Start(tester), MOVU_OK);
        ASSERT_EQ(day.Poll(tester), MOVU_JOB_SUCCEEDED) << U8(day.Error());
        ASSERT_EQ(ArraySize(day.events), 2);
        EXPECT_TRUE(day.events[0].has_actual);   // released before the tester's now
        EXPECT_FALSE(day.events[1].has_actual);  // not yet: the backtest must not see it
        EXPECT_EQ(script.accounts.size(), calls);
        tester.AllowDllInTester(true);
        EXPECT_GT(tester.StartCalendarDay("2024-03-05"), 0);
        mql5::terminal.tester = false;
    }
}

}  // namespace
