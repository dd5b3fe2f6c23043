// The MQL5 kit's logic, compiled through the shim: the JSON reader against
// hostile text, times, escaping, CMovuClient's pacing, identity and tester
// behaviour, and the real library's answers from the dev server.
#include "mql5_shim.h"

#include <gtest/gtest.h>

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
        R"({"v":"\"})", "\"x", "", "   ",
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
    EXPECT_EQ(MovuUtcToServer(1709645400, 7200), 1709652600);
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
}

// ---- the real library against the dev server -----------------------------------------

TEST(DevServer, AnswersBecomeSortedTypedEventsAndAHeldDayMergesItsChanges) {
    DevServer server;
    ASSERT_TRUE(Real().loaded()) << Real().error();
    ASSERT_FALSE(server.port().empty()) << server.error();
    script = Script();
    terminal = {1000000, 0, 0, 0, false, 5550123};
    Movu_SetBaseUrl(string(server.url().c_str()));
    CMovuClient client;
    client.SetPacing(0, 0, 0);
    string text, error;
    MqlArray<MovuCalendarEvent> events, none;
    for (const char* date : {"2024-03-04", "2024-03-09", "2024-03-05"}) {
        ASSERT_EQ(client.CalendarDay(date, text), MOVU_OK) << text.utf8();
        ASSERT_TRUE(MovuParseEvents(text, events, error)) << error.utf8();
        for (int i = 0; i < ArraySize(events); ++i) {
            const auto& e = events[i];
            EXPECT_TRUE(e.has_actual && e.has_forecast && e.has_previous && e.importance != 0 &&
                        StringLen(e.currency) == 3 && MovuDate(e.time).utf8() == date && e.updated >= e.time &&
                        (i == 0 || events[i - 1].time <= e.time))
                << date << " " << i;
        }
        std::string whole = text.utf8();
        for (size_t cut = 0; cut < whole.size(); ++cut)
            ASSERT_FALSE(MovuParseEvents(whole.substr(0, cut).c_str(), none, error)) << cut;
    }
    ASSERT_GT(ArraySize(events), 0);  // 2024-03-05, held below

    CMovuCalendarDay day;
    day.Reset("2024-03-05");
    for (int round = 0; round < 2; ++round) {  // the whole day, then its changes
        ASSERT_EQ(day.Start(client), MOVU_OK);
        EXPECT_EQ(day.Start(client), MOVU_ERR_BUSY);
        int state = MOVU_JOB_RUNNING;
        for (int i = 0; i < 600 && state == MOVU_JOB_RUNNING; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            state = day.Poll(client);
        }
        ASSERT_EQ(state, MOVU_JOB_SUCCEEDED) << day.Error().utf8();
        ASSERT_EQ(ArraySize(day.events), ArraySize(events));
        for (int i = 0; i < ArraySize(events); ++i) EXPECT_EQ(day.events[i].id, events[i].id);
        EXPECT_EQ(day.since, MovuLatestUpdate(events));
    }
    EXPECT_EQ(client.PendingJobs(), 0);
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
    CMovuClient client;  // a start the library refused waits the minimum interval only
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
    for (int where : {MOVU_RECORD_LOCAL, MOVU_RECORD_COMMON}) {
        terminal.tester = false;
        terminal.gmt = seen, terminal.server = seen + 7200;
        std::filesystem::remove_all(dir_.path());
        CMovuClient live;
        live.SetPacing(0, 0, 0);
        live.SetRecording(where);
        string text;
        for (int i = 0; i < 2; ++i) {  // the same answer later adds nothing
            ASSERT_EQ(live.CalendarDay(" 2024-03-05 ", text), MOVU_OK);
            terminal.gmt += 60, terminal.server += 60;
        }
        std::ifstream in((where == MOVU_RECORD_COMMON ? terminal.common : terminal.files) +
                         "/movu_calendar/2024-03-05.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1].rfind("1709629200\t7200\t1\t{", 0), 0u) << lines[1];

        StartTester({"movu_calendar/2024-03-05.txt"});  // #property tester_file: the local day reaches the agent
        terminal.current = seen;
        CMovuClient tester;
        tester.SetRecording(where);
        size_t calls = script.accounts.size();
        EXPECT_EQ(tester.StartCalendarDay("2024-03-05"), MOVU_ERR_TESTER);
        EXPECT_EQ(tester.CalendarDay("2024-03-06", text), MOVU_ERR_NOT_RECORDED);
        // server time 10:59 at UTC+2 is 08:59 UTC: nothing observed yet; 11:00 is 09:00 UTC
        for (auto [server, known] : {std::pair{seen + 7200 - 60, false}, std::pair{seen + 7200, true}}) {
            terminal.current = server;
            CMovuCalendarDay day;
            day.Reset("2024-03-05");
            EXPECT_EQ(day.Start(tester), MOVU_OK);
            ASSERT_EQ(day.Poll(tester), known ? MOVU_JOB_SUCCEEDED : MOVU_JOB_FAILED) << day.Error().utf8();
            ASSERT_EQ(ArraySize(day.events), known ? 2 : 0);
            EXPECT_EQ(tester.CalendarDay("2024-03-05", text), known ? MOVU_OK : MOVU_ERR_NOT_RECORDED);
        }
        EXPECT_EQ(script.accounts.size(), calls);
        tester.AllowDllInTester(true);
        EXPECT_GT(tester.StartCalendarDay("2024-03-05"), 0);
    }
}

TEST_F(Client, AFinishedJobEndsWithItsOwnStateTextOrNot) {
    // clang-format off
    const std::tuple<int, const char*, int> cases[] = {  // the job's code and text, the state Poll gives
        {0, "{}", MOVU_JOB_SUCCEEDED}, {MOVU_ERR_CONNECT, "{\"ok\":false}", MOVU_JOB_FAILED},
        {MOVU_ERR_INTERNAL, "", MOVU_JOB_FAILED}, {MOVU_ERR_SERVER, "", MOVU_JOB_FAILED}};
    // clang-format on
    for (auto [rc, text, want] : cases) {
        CMovuClient client;
        int id = client.StartVipStatus();
        ASSERT_GT(id, 0);
        script.poll_rc = rc, script.poll_text = text;
        string got;
        int http = 0;
        EXPECT_EQ(client.Poll(id, got, http), want) << rc;
        EXPECT_EQ(client.LastResult(), rc);
        EXPECT_EQ(client.PendingJobs(), 0) << rc;  // released, never "running" for ever
    }
}

}  // namespace
