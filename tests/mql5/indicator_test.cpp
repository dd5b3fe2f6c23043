// MovuNextEvents compiled through the shim: its timer live against the dev
// server (a passed event leaves at once), its wait after a refused start,
// without DLLs, and in the tester from the day it recorded.
#include "programs.h"

namespace indicator {
#include "MovuNextEvents.mq5"
}

namespace {

using namespace programs;

const char* kHead = "movu: next events (server time, UTC+2.0)";
const char* kCpi = "\n15:30  *** USD  Sample CPI y/y  forecast 3.00%";

bool RunUntilShown(const std::string& part) {
    for (int i = 0; i < 3000 && chart.comment.find(part) == std::string::npos; ++i) {  // 30 s at most
        indicator::OnTimer();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return chart.comment.find(part) != std::string::npos;
}

TEST(Indicator, LiveAPassedEventLeavesAtOnceAndTheTesterShowsTheRecordedDay) {
    movu::test::TempFolder dir("indicator");
    DevServer server;
    ASSERT_TRUE(Real().loaded()) << Real().error();
    ASSERT_FALSE(server.port().empty()) << server.error();
    script = Script();
    Live(dir.path().string(), "13:29");
    Movu_SetBaseUrl(string(server.url().c_str()));
    indicator::InpBaseUrl = "";
    ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
    EXPECT_EQ(chart.timer_ms, 1000);
    EXPECT_EQ(chart.comment, std::string(kHead) + "\nwaiting for the calendar...");
    ASSERT_TRUE(RunUntilShown(kCpi)) << chart.comment;
    EXPECT_EQ(chart.comment, std::string(kHead) + kCpi);
    Pass(61);  // 13:30:01, long before the next refresh: the timer alone takes it off
    indicator::OnTimer();
    EXPECT_EQ(chart.comment, std::string(kHead) + "\n(none left today)");
    indicator::OnDeinit(0);
    EXPECT_EQ(chart.comment, "");

    // clang-format off
    const std::pair<const char*, std::string> tester[] = {  // server time at UTC, the chart
        {"13:28", std::string(kHead) + "\ncalendar failed: -1004 (no recorded calendar for this day) "
                                        "no recorded calendar for this day"},  // before it was seen live
        {"13:29", std::string(kHead) + kCpi}, {"13:31", std::string(kHead) + "\n(none left today)"}};
    // clang-format on
    for (const auto& [at, shown] : tester) {
        Tester(at);
        ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
        for (int i = 0; i < 2; ++i) indicator::OnTimer();  // the start, then its answer
        EXPECT_EQ(chart.comment, shown) << at;
        indicator::OnDeinit(0);
    }
    terminal.tester = false;
}

TEST(Indicator, AfterARefusedChangesStartItWaitsOnTheChangesPacing) {
    movu::test::TempFolder dir("indicator");
    script = Script{true};
    script.poll_text = R"({"ok":true,"events":[{"id":1,"title":"T","time":"2024-03-05T13:30:00Z"}]})";
    Live(dir.path().string(), "12:00");
    indicator::InpRetrySeconds = 1;
    ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
    indicator::OnTimer();  // the day starts
    indicator::OnTimer();  // and is held
    ASSERT_NE(chart.comment.find("T"), std::string::npos) << chart.comment;
    Pass(600);
    indicator::OnTimer();  // its changes start
    script.poll_rc = MOVU_ERR_TOO_MANY_REQUESTS;
    indicator::OnTimer();  // and are refused: the changes back off, the day does not
    Pass(1);
    indicator::OnTimer();  // too soon for changes
    EXPECT_NE(chart.comment.find("calendar not started: -1002"), std::string::npos) << chart.comment;
    // the changes back off (longer after each 429 in a row); the day's pacing is long over
    int wait = 1 + indicator::g_movu.WaitMs(MOVU_PATH_CHANGES) / 1000;
    ASSERT_GT(wait, 1 + indicator::g_movu.WaitMs(MOVU_PATH_DAY) / 1000);
    EXPECT_EQ(indicator::g_nextStart - TimeLocal(), wait);
    size_t calls = script.accounts.size();
    for (int i = 0; i < wait - 1; ++i) Pass(1), indicator::OnTimer();
    EXPECT_EQ(script.accounts.size(), calls);
    Pass(1), indicator::OnTimer();
    EXPECT_EQ(script.accounts.size(), calls + 1);  // asked again once the back-off is over
    indicator::OnDeinit(0);
    indicator::InpRetrySeconds = 30;
    script.on = false;
}

TEST(Indicator, WithoutDllsLiveItDoesNotStart) {
    movu::test::TempFolder dir("indicator");
    Live(dir.path().string(), "12:00", false);
    EXPECT_EQ(indicator::OnInit(), INIT_FAILED);
    EXPECT_EQ(chart.timer_ms, 0);
    EXPECT_EQ(Lines("DLL imports are off"), 1);
}

}  // namespace

namespace {

using namespace programs;

// A day recorded in MQL5\Files reaches a remote agent only when named with
// #property tester_file; otherwise the day is unknown there.
TEST(Indicator, InTheTesterALocalRecordingIsReadOnlyWhenNamedAsATesterFile) {
    movu::test::TempFolder dir("indicator");
    Live(dir.path().string(), "12:00");
    const char* day = R"({"ok":true,"events":[{"id":1,"title":"CPI","currency":"USD","importance":"high",)"
                      R"("time":"2024-03-05T13:30:00Z","forecast":3}]})";
    ASSERT_TRUE(indicator::MovuRecordObservation(MOVU_RECORD_LOCAL, "2024-03-05", Utc("06:00"), 7200, day));
    // clang-format off
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"movu_calendar/2024-03-05.txt"}, "\n15:30  *** USD  CPI  forecast 3.00"},
        {{}, "\ncalendar failed: -1004"}};
    // clang-format on
    for (const auto& [tester_files, shown] : cases) {
        Tester("12:00", tester_files);
        indicator::InpRecordLocal = true;
        ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
        for (int i = 0; i < 2; ++i) indicator::OnTimer();
        EXPECT_NE(chart.comment.find(shown), std::string::npos) << chart.comment;
        indicator::OnDeinit(0);
    }
    indicator::InpRecordLocal = false;
    terminal.tester = false;
}

}  // namespace
