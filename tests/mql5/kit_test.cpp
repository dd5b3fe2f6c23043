// The MQL5 kit's logic, compiled through the shim: the JSON reader against
// hostile text, times, escaping, CMovuClient's pacing, identity and tester
// behaviour, and the real library's answers from the dev server.
#include "mql5_shim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "mql5_dll.h"

#include <movu_mt5.mqh>

namespace {

// ---- JSON, times, escaping ------------------------------------------------------------

TEST(MqlJson, AcceptsStrictJsonExactlyAndRefusesTheRest) {
    // clang-format off
    const std::tuple<const char*, const char*, double> accepted[] = {  // text, member "v" as a string or a number
        {R"({"v":"a {b} [c] \"d\" , : }"})", "a {b} [c] \"d\" , : }", 0},
        {R"({"v":"\u00e9\uD83D\uDE00\/\b\f\n\r\t\\"})", "\xC3\xA9\xF0\x9F\x98\x80/\b\f\n\r\t\\", 0},
        {" \t\r\n{\"v\" : \"x\" } \n", "x", 0}, {R"({"w":{"v":"inner"},"v":"outer"})", "outer", 0},
        {R"({"v":-12})", nullptr, -12}, {R"({"v":0.1})", nullptr, 0.1}, {R"({"v":-1.5e-3})", nullptr, -1.5e-3},
        {R"({"v":1E+2})", nullptr, 100}, {R"({"v":123456789.125})", nullptr, 123456789.125},
        {R"({"v":1e-400})", nullptr, 0}};
    const std::string refused[] = {
        R"({"v":1e400})", R"({"v":01})", R"({"v":1.})", R"({"v":.5})", R"({"v":+1})", R"({"v":1e+})", R"({"v":-})",
        R"({"v":NaN})", R"({"v":tru})", R"({"v":1,})", R"([1,])", R"({"v" 1})", R"({'v':1})", R"({"v":1}{"w":2})",
        R"({"v":1,"v":2})", R"({"v":"\u12"})", R"({"v":"\x41"})", R"({"v":"\u0000"})", "{\"v\":\"a\nb\"}",
        R"({"v":"\"})", R"({"v":1)", "[1", "",
        std::string(MOVU_JSON_MAX_DEPTH + 1, '[') + std::string(MOVU_JSON_MAX_DEPTH + 1, ']')};
    // clang-format on
    for (auto [text, str, number] : accepted) {
        CMovuJson json;
        ASSERT_TRUE(json.Parse(text)) << text << ": " << json.Error().utf8();
        int v = json.Member(json.Root(), "v");
        string s;
        double d = -1;
        EXPECT_TRUE(str ? json.GetString(v, s) && s.utf8() == str : json.GetNumber(v, d) && d == number) << text;
    }
    for (const auto& text : refused) {
        CMovuJson json;
        EXPECT_FALSE(json.Parse(text.c_str())) << text;
        EXPECT_TRUE(json.Root() == -1 && json.Error() != "") << text;
    }
    CMovuJson json;
    EXPECT_TRUE(json.Parse((std::string(MOVU_JSON_MAX_DEPTH, '[') + std::string(MOVU_JSON_MAX_DEPTH, ']')).c_str()));
    long n = 0;  // whole numbers keep every digit; beyond a long they are doubles only
    ASSERT_TRUE(json.Parse("[9007199254740993,-9223372036854775808,9223372036854775808]"));
    EXPECT_TRUE(json.GetLong(json.First(json.Root()), n) && n == 9007199254740993L);
    EXPECT_TRUE(json.GetLong(json.Next(json.First(json.Root())), n) && n == LONG_MIN);
    EXPECT_FALSE(json.GetLong(json.Next(json.Next(json.First(json.Root()))), n));
}

TEST(MqlTime, ReadsRfc3339WithItsZoneAndMovesUtcToTheServerClock) {
    // clang-format off
    const std::pair<const char*, long> times[] = {  // -1: refused
        {"2024-03-05T13:30:00Z", 1709645400}, {"2024-03-05t13:30:00z", 1709645400},
        {"2024-03-05 13:30:00Z", 1709645400}, {"2024-03-05T15:30:00.250+02:00", 1709645400},
        {"2024-03-05T08:00:00-05:30", 1709645400}, {"2024-02-29T00:00:00Z", 1709164800},
        {"2016-12-31T23:59:60Z", 1483228799}, {"2023-02-29T00:00:00Z", -1}, {"2024-03-05T24:00:00Z", -1},
        {"2024-03-05T13:30:00", -1}, {"2024-03-05T13:30:00+0200", -1}, {"2024-03-05T13:30:00.Z", -1},
        {"2024-03-05T13:30:00Z ", -1}, {"2024-13-05T13:30:00Z", -1}, {"1709645400", -1}};
    const std::tuple<long, bool, int, int> offsets[] = {  // server - gmt, tester, offset given, offset
        {7213, false, 0, 7200}, {-10790, false, 0, -10800}, {19800 - 4, false, 0, 19800},
        {7200, true, 10800, 10800}};  // TimeGMT is the server time in the tester
    // clang-format on
    for (auto [text, utc] : times) {
        datetime t = -1;
        EXPECT_EQ(MovuParseTime(text, t), utc >= 0) << text;
        EXPECT_TRUE(utc < 0 || t == utc) << text;
    }
    for (auto [difference, tester, given, offset] : offsets) {
        terminal = {0, 1709645400, 1709645400 + difference, 1709645400 + difference, tester};
        EXPECT_EQ(MovuServerOffset(given), offset);
    }
    terminal = MqlTerminal();
}

TEST(MqlJsonString, EscapesWhatJsonRequiresAndReadsBack) {
    const char* text = "q\" b\\ n\n r\r t\t \x01\x1f \xC3\xA9\xE2\x82\xAC";
    string back;
    CMovuJson json;
    EXPECT_EQ(MovuJsonString(text).utf8(), "\"q\\\" b\\\\ n\\n r\\r t\\t \\u0001\\u001f \xC3\xA9\xE2\x82\xAC\"");
    EXPECT_TRUE(json.Parse(MovuJsonString(text)) && json.GetString(json.Root(), back) && back.utf8() == text);
}

// ---- typed answers ------------------------------------------------------------------

TEST(MqlEvents, MembersAreReadOrTheAnswerIsRefusedAndChangesMergeIntoADay) {
    const std::string head = R"({"ok":true,"events":[{"id":7,"title":"T","time":"2024-03-05T13:30:00Z")";
    // clang-format off
    const std::tuple<std::string, bool, double, int> read[] = {  // answer, has actual, actual, importance
        {head + R"(,"actual":1.5,"importance":"high"}]})", true, 1.5, MOVU_IMPORTANCE_HIGH},
        {head + "}]}", false, 0, MOVU_IMPORTANCE_UNKNOWN},
        {head + R"(,"actual":null,"importance":2}]})", false, 0, MOVU_IMPORTANCE_MEDIUM},
        {head + R"(,"actual":"","importance":"urgent"}]})", false, 0, MOVU_IMPORTANCE_UNKNOWN},
        {R"({"events":[{"id":7,"title":"T","timestamp":1709645400,"actual":-0.2}]})", true, -0.2, 0}};
    const std::string refused[] = {
        head + R"(,"actual":"1.5"}]})", head + R"(,"currency":5}]})", head + R"(,"updated_at":"soon"}]})",
        R"({"events":[{"title":"T","time":"2024-03-05T13:30:00Z"}]})", R"({"events":[{"id":7,"time":0}]})",
        R"({"events":[{"id":7,"title":"T","time":"2024-03-05T13:30:00"}]})",
        R"({"events":[{"id":7.5,"title":"T","time":0}]})", R"({"ok":false,"error":"RATE_LIMITED"})",
        R"({"ok":true})", R"([])"};
    // clang-format on
    MqlArray<MovuCalendarEvent> events;
    string error;
    for (auto [answer, has_actual, actual, importance] : read) {
        ASSERT_TRUE(MovuParseEvents(answer.c_str(), events, error)) << answer << ": " << error.utf8();
        ASSERT_EQ(ArraySize(events), 1);
        EXPECT_TRUE(events[0].has_actual == has_actual && events[0].actual == actual) << answer;
        EXPECT_TRUE(events[0].time == 1709645400 && events[0].importance == importance) << answer;
    }
    for (const auto& answer : refused) {
        EXPECT_FALSE(MovuParseEvents(answer.c_str(), events, error)) << answer;
        EXPECT_TRUE(ArraySize(events) == 0 && error != "") << answer;
    }
    MqlArray<MovuCalendarEvent> day, changes;  // changes replace by id, add new ones, keep the day sorted
    ASSERT_TRUE(MovuParseEvents(R"({"events":[{"id":1,"title":"a","time":100,"updated_at":100},
        {"id":2,"title":"b","time":200,"updated_at":250},{"id":3,"title":"c","time":300}]})",
                                day, error));
    ASSERT_TRUE(MovuParseEvents(R"({"events":[{"id":3,"title":"c2","time":50,"actual":1},
        {"id":4,"title":"d","time":200,"updated_at":400},{"id":2,"title":"b2","time":200,"actual":2}]})",
                                changes, error));
    EXPECT_EQ(MovuMergeEvents(day, changes), 3);
    std::string order;
    for (const auto& e : day) order += e.title.utf8() + " ";
    EXPECT_EQ(order, "c2 a b2 d ");
    EXPECT_EQ(MovuLatestUpdate(day), 400);
    // the last change of an id wins; an event's own time, even in the future, never moves "since"
    ASSERT_TRUE(MovuParseEvents(R"({"events":[{"id":9,"title":"x","time":99999999999},
        {"id":1,"title":"a2","time":100},{"id":1,"title":"a3","time":150,"updated_at":300}]})",
                                changes, error));
    EXPECT_EQ(MovuMergeEvents(day, changes), 3);
    order.clear();
    for (const auto& e : day) order += e.title.utf8() + " ";
    EXPECT_EQ(order, "c2 a3 b2 d x ");
    EXPECT_EQ(MovuLatestUpdate(day), 400);
    EXPECT_EQ(MovuLatestUpdate(changes), 300);
}

// ---- CMovuClient against a scripted DLL -------------------------------------------

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        script = Script{true};
        std::string at = dir_.path().string();
        terminal = {1000000, 0, 0, 0, false, 1001, at + "/Files", at + "/Common", at + "/Agent/Files"};
    }
    void TearDown() override { terminal.tester = script.on = false; }
    void Finish(CMovuClient& client, int id, int rc) {
        string text;
        int http = 0;
        script.poll_rc = rc;
        client.Poll(id, text, http);
    }
    movu::test::TempFolder dir_{"mql5client"};
};

TEST_F(Client, OneJobOfAKindAtATimeAMinimumIntervalAndBackOff) {
    CMovuClient paced;
    int day = paced.StartCalendarDay("2024-03-05");
    ASSERT_GT(day, 0);
    EXPECT_EQ(paced.StartCalendarDay("2024-03-05"), MOVU_ERR_BUSY);
    EXPECT_GT(paced.StartVipStatus(), 0);  // another kind is not held up
    Finish(paced, day, 0);
    EXPECT_EQ(paced.StartCalendarDay("2024-03-05"), MOVU_ERR_TOO_SOON);
    EXPECT_EQ(paced.WaitMs(MOVU_PATH_DAY), MOVU_MIN_INTERVAL_MS);
    terminal.ticks += MOVU_MIN_INTERVAL_MS;
    EXPECT_GT(paced.StartCalendarDay("2024-03-05"), 0);
    EXPECT_EQ(script.accounts.size(), 3u);
    // after a 429, a 5xx or no answer the wait doubles; after other failures it is the minimum interval
    // clang-format off
    const std::pair<std::vector<int>, int> cases[] = {  // outcomes in a row, the wait after them
        {{MOVU_ERR_TOO_MANY_REQUESTS}, MOVU_BACKOFF_FIRST_MS}, {{-503, -500}, 2 * MOVU_BACKOFF_FIRST_MS},
        {{MOVU_ERR_CONNECT, MOVU_ERR_RECEIVE, -502}, 4 * MOVU_BACKOFF_FIRST_MS},
        {std::vector<int>(12, -429), MOVU_BACKOFF_MAX_MS},
        {{-429, -429, 0, -429}, MOVU_BACKOFF_FIRST_MS},  // a success ends the back-off
        {{-404}, MOVU_MIN_INTERVAL_MS}, {{MOVU_ERR_NO_ACCOUNT}, MOVU_MIN_INTERVAL_MS}};
    // clang-format on
    for (const auto& [outcomes, wait_ms] : cases) {
        CMovuClient client;
        for (int rc : outcomes) {
            terminal.ticks += 10 * MOVU_BACKOFF_MAX_MS;
            int id = client.StartVipStatus();
            ASSERT_GT(id, 0);
            Finish(client, id, rc);
        }
        EXPECT_EQ(client.WaitMs(MOVU_PATH_VIP), wait_ms) << outcomes.front() << " x" << outcomes.size();
        EXPECT_EQ(client.StartVipStatus(), MOVU_ERR_TOO_SOON);
    }
    CMovuClient client;  // a failed job without text ends as failed
    int id = client.StartCalendarDay("2024-03-05");
    string text;
    int http = 0;
    script.poll_rc = MOVU_ERR_INTERNAL, script.poll_text = "";
    EXPECT_EQ(client.Poll(id, text, http), MOVU_JOB_FAILED);
    EXPECT_EQ(client.LastResult(), MOVU_ERR_INTERNAL);
    terminal.ticks += MOVU_MIN_INTERVAL_MS;  // a start the library refused waits the minimum interval only
    script.start_rc = MOVU_ERR_THREAD;
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_THREAD);
    EXPECT_EQ(client.WaitMs(MOVU_PATH_DAY), MOVU_MIN_INTERVAL_MS);
    EXPECT_EQ(client.PendingJobs(), 0);
}

TEST_F(Client, IdentityIsReadBeforeEachRequestUnlessTheProgramSetOne) {
    terminal.login = 0;  // loaded before the terminal connected
    CMovuClient client;
    client.SetPacing(0, 0, 0);
    string text;
    EXPECT_EQ(client.StartCalendarDay("2024-03-05"), MOVU_ERR_NO_ACCOUNT);
    EXPECT_EQ(client.VipStatus(text), MOVU_ERR_NO_ACCOUNT);
    for (long login : {1001, 2002}) {  // connected, then an account switch
        terminal.login = login;
        EXPECT_EQ(client.VipStatus(text), MOVU_OK);
    }
    client.SetIdentity("42", "MT5", "b", "s", "v");
    EXPECT_EQ(client.VipStatus(text), MOVU_OK);
    EXPECT_EQ(script.accounts, (std::vector<std::string>{"1001", "2002", "42"}));  // nothing as "0" or ""
}

TEST_F(Client, TesterReadsRecordedDaysAsObservedAndMakesNoDllCall) {
    script.sync_text = R"({"ok":true,"events":[{"id":1,"title":"early","time":"2024-03-05T08:00:00Z","actual":1},
        {"id":2,"title":"late","time":"2024-03-05T15:00:00Z"}]})";
    const datetime seen = 1709629200;  // 09:00 UTC, the server at UTC+2
    terminal.gmt = seen, terminal.server = seen + 7200;
    CMovuClient live;
    live.SetPacing(0, 0, 0);
    live.SetRecording(MOVU_RECORD_LOCAL);
    string text;
    for (int i = 0; i < 2; ++i) {  // the same answer later adds nothing
        ASSERT_EQ(live.CalendarDay(" 2024-03-05 ", text), MOVU_OK);
        terminal.gmt += 60, terminal.server += 60;
    }
    std::ifstream in(terminal.files + "/movu_calendar/2024-03-05.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("1709629200\t7200\t1\t{", 0), 0u) << lines[1];

    StartTester({"movu_calendar/2024-03-05.txt"});  // #property tester_file: the local day reaches the agent
    CMovuClient tester;
    tester.SetRecording(MOVU_RECORD_LOCAL);
    size_t calls = script.accounts.size();
    EXPECT_EQ(tester.StartCalendarDay("2024-03-05"), MOVU_ERR_TESTER);
    EXPECT_EQ(tester.CalendarDay("2024-03-06", text), MOVU_ERR_NOT_RECORDED);
    // server time 10:59 at UTC+2 is 08:59 UTC: nothing observed yet; 11:00 is 09:00 UTC
    for (auto [server, known] : {std::pair{seen + 7200 - 60, false}, std::pair{seen + 7200, true}}) {
        terminal.current = server;
        CMovuCalendarDay day;
        day.Reset("2024-03-05");
        EXPECT_EQ(day.Start(tester), MOVU_OK);
        EXPECT_EQ(day.Start(tester), MOVU_ERR_BUSY);
        ASSERT_EQ(day.Poll(tester), known ? MOVU_JOB_SUCCEEDED : MOVU_JOB_FAILED) << day.Error().utf8();
        ASSERT_EQ(ArraySize(day.events), known ? 2 : 0);
        EXPECT_EQ(tester.CalendarDay("2024-03-05", text), known ? MOVU_OK : MOVU_ERR_NOT_RECORDED);
    }
    EXPECT_EQ(script.accounts.size(), calls);
    tester.AllowDllInTester(true);
    EXPECT_GT(tester.StartCalendarDay("2024-03-05"), 0);
}

// ---- recorded days, replayed as of the moment ------------------------------------

// A scripted event of a day answer.
struct Ev {
    long id;
    const char* title;
    long time;
    const char* forecast;  // JSON number or null
    const char* actual;
};
std::string Answer(const std::vector<Ev>& events) {
    std::string out = R"({"ok":true,"events":[)";
    for (const auto& e : events)
        out += (out.back() == '[' ? "" : ",") + std::string(R"({"id":)") + std::to_string(e.id) + R"(,"title":")" +
               e.title + R"(","currency":"USD","importance":"high","time":)" + std::to_string(e.time) +
               R"(,"forecast":)" + e.forecast + R"(,"actual":)" + e.actual + "}";
    return out + "]}";
}
std::string Describe(const MqlArray<MovuCalendarEvent>& events) {  // what a program would see
    std::string out;
    for (const auto& e : events)
        out += std::to_string(e.id) + ":" + e.title.utf8() + "@" + std::to_string(e.time) + " f" +
               (e.has_forecast ? DoubleToString(e.forecast, 2).utf8() : "-") + " a" +
               (e.has_actual ? DoubleToString(e.actual, 2).utf8() : "-") + "; ";
    return out;
}
long JournalLines(const std::string& containing) {
    return std::count_if(journal.begin(), journal.end(),
                         [&](const std::string& line) { return line.find(containing) != line.npos; });
}

class Replay : public Client {
protected:
    // 2024-03-10: US daylight saving time starts at 07:00 UTC, the broker's clock goes from UTC+2 to UTC+3.
    static constexpr long day = 1710028800, h = 3600;
    struct Observation {
        long at;
        int offset;
        std::vector<Ev> events;
    };
    const std::vector<Observation> seen = {
        {day + 5 * h, 7200, {{1, "CPI", day + 8 * h + 1800, "1.0", "null"}, {2, "NFP", day + 12 * h, "2.0", "null"}}},
        {day + 7 * h + 1800,
         10800,  // forecast revised
         {{1, "CPI", day + 8 * h + 1800, "1.1", "null"}, {2, "NFP", day + 12 * h, "2.0", "null"}}},
        {day + 8 * h + 1860,
         10800,  // released a minute after its time, an event added
         {{1, "CPI", day + 8 * h + 1800, "1.1", "1.3"},
          {2, "NFP", day + 12 * h, "2.0", "null"},
          {3, "added", day + 14 * h, "null", "null"}}},
        {day + 9 * h,
         10800,  // actual revised, an event removed
         {{1, "CPI", day + 8 * h + 1800, "1.1", "1.4"}, {3, "added", day + 14 * h, "null", "null"}}},
        {day + 10 * h,
         10800,  // nothing new
         {{1, "CPI", day + 8 * h + 1800, "1.1", "1.4"}, {3, "added", day + 14 * h, "null", "null"}}}};
    std::string file() const { return terminal.common + "/movu_calendar/2024-03-10.txt"; }
    void RecordAll() {
        for (const auto& o : seen)
            ASSERT_TRUE(
                MovuRecordObservation(MOVU_RECORD_COMMON, "2024-03-10", o.at, o.offset, Answer(o.events).c_str()));
    }
    std::string Expected(long utc) const {  // the newest observation by then, parsed as a program would
        const Observation* by = nullptr;
        for (const auto& o : seen)
            if (o.at <= utc) by = &o;
        if (!by) return "unknown";
        MqlArray<MovuCalendarEvent> events;
        string error;
        EXPECT_TRUE(MovuParseEvents(Answer(by->events).c_str(), events, error));
        return Describe(events);
    }
};

TEST_F(Replay, EachSimulatedMinuteShowsExactlyWhatHadBeenObservedAcrossTheClockChange) {
    RecordAll();
    std::ifstream in(file());
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(in), {}, '\n'),
              1 + 2 + 1 + 2 + 2);  // header, then only what changed; the last observation adds nothing

    StartTester({});
    journal.clear();
    CMovuClient tester;
    tester.SetRecording(MOVU_RECORD_COMMON);
    tester.SetTesterClock(MOVU_CLOCK_US_DST, 7200);
    for (long utc = day; utc < day + 24 * h; utc += 60) {
        terminal.current = utc + (utc < day + 7 * h ? 7200 : 10800);  // the broker's clock
        ASSERT_EQ(tester.NowUtc(), utc) << "server " << terminal.current;
        MqlArray<MovuCalendarEvent> events;
        int known = tester.ReplayDay("2024-03-10", events);
        ASSERT_EQ(known == MOVU_DAY_KNOWN ? Describe(events) : "unknown", Expected(utc)) << (utc - day) / 60;
    }
    CMovuCalendarDay held;  // the held day of a program in the tester: the same answer
    held.Reset("2024-03-10");
    terminal.current = day + 8 * h + 1800 + 10800;  // the release minute: the actual is not out yet
    ASSERT_EQ(held.Start(tester), MOVU_OK);
    ASSERT_EQ(held.Poll(tester), MOVU_JOB_SUCCEEDED);
    EXPECT_EQ(Describe(held.events), Expected(day + 8 * h + 1800));
    EXPECT_FALSE(held.events[0].has_actual);
    EXPECT_EQ(journal.size(), 0u);
}

// A revision a held day takes live from a changes answer is recorded at its
// moment: the tester shows it from then on, never before.
TEST_F(Replay, ARevisionTakenFromChangesIsReplayedFromItsMomentOnly) {
    const Ev first{1, "CPI", day + 8 * h, "1.0", "1.2"}, revised{1, "CPI", day + 8 * h, "1.0", "1.5"};
    terminal.gmt = day + 9 * h, terminal.server = terminal.gmt + 10800;
    CMovuClient live;
    live.SetPacing(0, 0, 0);
    live.SetRecording(MOVU_RECORD_COMMON);
    CMovuCalendarDay held;
    held.Reset("2024-03-10");
    for (const std::string& answer : {Answer({first}), Answer({revised})}) {  // the day, then its changes
        script.poll_text = answer;
        ASSERT_EQ(held.Start(live), MOVU_OK);
        ASSERT_EQ(held.Poll(live), MOVU_JOB_SUCCEEDED);
        terminal.gmt += 600, terminal.server += 600;
    }
    StartTester({});
    CMovuClient tester;
    tester.SetRecording(MOVU_RECORD_COMMON);
    for (const auto& [utc, actual] : {std::pair{day + 9 * h + 599, "a1.20"}, std::pair{day + 9 * h + 600, "a1.50"}}) {
        terminal.current = utc + 10800;
        MqlArray<MovuCalendarEvent> events;
        ASSERT_EQ(tester.ReplayDay("2024-03-10", events), MOVU_DAY_KNOWN);
        EXPECT_NE(Describe(events).find(actual), std::string::npos) << Describe(events);
    }
}

TEST_F(Replay, ClockRulesSwitchOnTheirDatesAndADayNotRecordedCostsOneJournalLine) {
    // clang-format off
    // the hour a clock repeats maps back to its first pass (an earlier UTC shows less, never more)
    const std::tuple<int, const char*, int, int> rules[] = {  // rule, UTC moment, offset, seconds mapped back earlier
        {MOVU_CLOCK_US_DST, "2024-03-10T06:59:59Z", 7200, 0}, {MOVU_CLOCK_US_DST, "2024-03-10T07:00:00Z", 10800, 0},
        {MOVU_CLOCK_US_DST, "2024-11-03T05:59:59Z", 10800, 0}, {MOVU_CLOCK_US_DST, "2024-11-03T06:00:00Z", 7200, 3600},
        {MOVU_CLOCK_US_DST, "2024-11-03T07:00:00Z", 7200, 0},
        {MOVU_CLOCK_US_DST, "2025-03-09T07:00:00Z", 10800, 0}, {MOVU_CLOCK_US_DST, "2025-03-09T06:59:59Z", 7200, 0},
        {MOVU_CLOCK_EU_DST, "2024-03-31T00:59:59Z", 7200, 0}, {MOVU_CLOCK_EU_DST, "2024-03-31T01:00:00Z", 10800, 0},
        {MOVU_CLOCK_EU_DST, "2024-10-27T00:59:59Z", 10800, 0}, {MOVU_CLOCK_EU_DST, "2024-10-27T01:30:00Z", 7200, 3600},
        {MOVU_CLOCK_EU_DST, "2024-10-27T02:00:00Z", 7200, 0},
        {MOVU_CLOCK_EU_DST, "2024-03-10T12:00:00Z", 7200, 0}, {MOVU_CLOCK_FIXED, "2024-07-01T12:00:00Z", -18000, 0},
        {MOVU_CLOCK_RECORDED, "2024-07-01T12:00:00Z", -18000, 0}};
    // clang-format on
    for (auto [rule, moment, offset, earlier] : rules) {
        datetime utc = 0;
        ASSERT_TRUE(MovuParseTime(moment, utc));
        EXPECT_EQ(MovuRuleOffset(rule, -18000, utc), offset) << rule << " " << moment;
        CMovuReplay replay;  // nothing recorded: the rule maps the server's clock back
        replay.Init(MOVU_RECORD_COMMON, rule, -18000);
        EXPECT_EQ(replay.ServerToUtc(utc + offset), utc - earlier) << rule << " " << moment;
        EXPECT_EQ(replay.ServerOffsetAt(utc), offset) << rule << " " << moment;
    }
    journal.clear();
    CMovuReplay replay;
    replay.Init(MOVU_RECORD_COMMON, MOVU_CLOCK_US_DST, 7200);
    MqlArray<MovuCalendarEvent> events;
    for (long utc = day + 86400; utc < day + 2 * 86400; utc += 15)
        ASSERT_EQ(replay.DayAsOf(utc, utc, events), MOVU_DAY_UNKNOWN);
    EXPECT_EQ(JournalLines("2024-03-11"), 1);
    EXPECT_EQ(replay.FileReads(), 1);
    // a backtest over many days holds a few: the first day is read again after the others
    for (int d = 0; d <= MOVU_REPLAY_DAYS; ++d) replay.DayAsOf(day + d * 86400, day + d * 86400, events);
    int reads = replay.FileReads();
    replay.DayAsOf(day, day, events);
    EXPECT_EQ(replay.FileReads(), reads + 1);
    EXPECT_EQ(JournalLines("2024-03-11"), 1);
    EXPECT_EQ(JournalLines("2024-03-10"), 1);  // once a day, even when read again
    EXPECT_EQ(journal.size(), MOVU_REPLAY_DAYS + 1u);
}

TEST_F(Replay, ACutOrEditedRecordingIsReadUpToWhatIsSoundAndTheRestRefusedOnce) {
    RecordAll();
    std::string whole;
    {
        std::ifstream in(file(), std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto edit = [&](const char* from, const char* to) {
        std::string text = whole;
        size_t at = text.find(from);
        EXPECT_NE(at, text.npos) << from;
        return at == text.npos ? text : text.replace(at, std::strlen(from), to);
    };
    auto lineOf = [&](long observed, long id) {  // a recorded line, as the kit writes it
        std::string head = std::to_string(observed) + "\t10800\t" + std::to_string(id) + "\t";
        size_t at = whole.find(head);
        return whole.substr(at, whole.find("\r\n", at) - at);
    };
    std::string released = lineOf(day + 8 * h + 1860, 1), garbage = released;
    garbage.replace(garbage.find("{"), 1, "[");  // not JSON, with a check that fits
    string body = StringSubstr(garbage.c_str(), 0, static_cast<int>(garbage.rfind('\t')));
    garbage = body.utf8() + "\t" + MovuLineCheck(body).utf8();
    // clang-format off
    const std::tuple<const char*, std::string, std::string, int> cases[] = {  // what, file, as of the day's end, journal lines
        {"whole", whole, Expected(day + 23 * h), 0},
        {"a blank line after", whole + "\r\n", Expected(day + 23 * h), 0},
        {"cut inside the last line", whole.substr(0, whole.size() - 12), "1:CPI@1710059400 f1.10 a1.30; 3:added@1710079200 f- a-; ", 1},
        {"cut at a line's end", whole.substr(0, whole.find(released) + released.size() + 2), "1:CPI@1710059400 f1.10 a1.30; 2:NFP@1710072000 f2.00 a-; ", 0},
        {"a released number edited", edit("\"actual\":1.3", "\"actual\":1.5"), Expected(day + 7 * h + 1800), 1},
        {"a time edited", edit((std::to_string(day + 9 * h) + "\t").c_str(), (std::to_string(day + 8 * h) + "\t").c_str()), Expected(day + 8 * h + 1860), 1},
        {"a line that is not JSON", edit(released.c_str(), garbage.c_str()), Expected(day + 7 * h + 1800), 1},
        {"another version", edit("movu-calendar-day\t1", "movu-calendar-day\t2"), "unknown", 1},
        {"cut inside the header", whole.substr(0, 10), "unknown", 1},
        {"empty", "", "unknown", 1}};
    // clang-format on
    for (const auto& [what, text, expected, complaints] : cases) {
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
        journal.clear();
        CMovuReplay replay;
        replay.Init(MOVU_RECORD_COMMON, MOVU_CLOCK_US_DST, 7200);
        MqlArray<MovuCalendarEvent> events;
        std::string shown;
        for (long utc = day + 11 * h; utc < day + 24 * h; utc += 600)  // asked again and again: said once
            shown = replay.DayAsOf(day, utc, events) == MOVU_DAY_KNOWN ? Describe(events) : "unknown";
        EXPECT_EQ(shown, expected) << what;
        EXPECT_EQ(static_cast<int>(journal.size()), complaints) << what;
    }
    // a writer keeps the sound part of an edited file and the file is sound again
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << edit("\"actual\":1.3", "\"actual\":1.5");
    ASSERT_TRUE(MovuRecordObservation(MOVU_RECORD_COMMON, "2024-03-10", day + 11 * h, 10800,
                                      Answer(seen.back().events).c_str()));
    journal.clear();
    CMovuRecordedDay again;
    ASSERT_TRUE(again.Load(MOVU_RECORD_COMMON, "2024-03-10"));
    MqlArray<MovuCalendarEvent> events;
    EXPECT_EQ(again.AsOf(day + 11 * h, events), MOVU_DAY_KNOWN);
    EXPECT_EQ(Describe(events), Expected(day + 23 * h));
    EXPECT_EQ(journal.size(), 0u);
    // another version's file is left as it is
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << edit("movu-calendar-day\t1", "movu-calendar-day\t2");
    EXPECT_FALSE(MovuRecordObservation(MOVU_RECORD_COMMON, "2024-03-10", day + 12 * h, 10800,
                                       Answer(seen.back().events).c_str()));
    std::ifstream in(file(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              edit("movu-calendar-day\t1", "movu-calendar-day\t2"));
}

TEST_F(Replay, TwoWritersOfOneDayLoseNoObservationAndLeaveASoundFile) {
    const int rounds = 20;
    auto writer = [&](long first) {
        for (int k = 0; k < rounds; ++k) {
            long at = first + 20 * k;  // a forecast only this writer saw, at a moment only it saw
            std::string value = std::to_string(at);
            EXPECT_TRUE(MovuRecordObservation(MOVU_RECORD_COMMON, "2024-03-10", at, 7200,
                                              Answer({{1, "CPI", day + 8 * h, value.c_str(), "null"}}).c_str()));
        }
    };
    std::thread a(writer, day + 1000), b(writer, day + 1010);
    a.join(), b.join();
    journal.clear();
    CMovuReplay replay;
    replay.Init(MOVU_RECORD_COMMON, MOVU_CLOCK_FIXED, 7200);
    MqlArray<MovuCalendarEvent> events;
    for (long at = day + 1000; at < day + 1000 + 20 * rounds; at += 10) {
        ASSERT_EQ(replay.DayAsOf(day, at, events), MOVU_DAY_KNOWN) << at;
        ASSERT_EQ(ArraySize(events), 1);
        EXPECT_EQ(events[0].forecast, at) << "the observation at " << at;
    }
    EXPECT_EQ(journal.size(), 0u);
    EXPECT_EQ(GlobalVariableGet(MOVU_RECORD_LOCK), 0);  // the turn was handed back
    EXPECT_TRUE(std::filesystem::is_empty(terminal.common + "/movu_calendar") == false);
    for (const auto& entry : std::filesystem::directory_iterator(terminal.common + "/movu_calendar"))
        EXPECT_EQ(entry.path().filename(), "2024-03-10.txt");  // no temporary file left behind
}

}  // namespace
