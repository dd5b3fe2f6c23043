// MovuJobsExpert compiled through the shim: its timer live against the dev
// server with DLLs allowed and refused, then in the tester from the days it
// recorded, where its news filter must answer as it did live, minute for minute.
#include "programs.h"

namespace expert {
#include "MovuJobsExpert.mq5"
}

namespace {

using namespace programs;

std::string Label(const char* name) {
    auto it = chart.objects.find(name);
    return it == chart.objects.end() ? "(none)" : it->second.text;
}
std::string News() { return Label(MOVU_NEWS_LABEL) + " | " + Label(MOVU_NEXT_LABEL); }

// The expert's timer, with real background jobs, until both days it needs are held.
bool RunUntilHeld() {
    for (int i = 0; i < 3000; ++i) {  // up to 30 s on a busy machine, up to 5 minutes of the expert's time
        expert::OnTimer();
        if (Lines("movu: calendar 2024-03-05: ") > 0 && Lines("movu: calendar 2024-03-06: ") > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (i % 10 == 9) Pass(1);  // lets the pacing's minimum interval pass
    }
    return false;
}

TEST(Expert, NewsFilterAnswersLiveAndInTheTesterAlikeMinuteForMinute) {
    movu::test::TempFolder dir("expert");
    DevServer server;
    ASSERT_TRUE(Real().loaded()) << Real().error();
    ASSERT_FALSE(server.port().empty()) << server.error();
    script = Script();
    Live(dir.path().string(), "12:00");
    Movu_SetBaseUrl(string(server.url().c_str()));  // the terminal's setting; the empty input keeps it
    expert::InpBaseUrl = "";
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    EXPECT_EQ(chart.timer_ms, 500);
    const std::string before = News();
    EXPECT_EQ(before, "movu news: unknown: no calendar for 2024.03.05 | next unknown: no calendar for 2024.03.05");
    ASSERT_TRUE(RunUntilHeld()) << News();
    EXPECT_EQ(Lines("movu: calendar 2024-03-05: "), 1);
    EXPECT_EQ(Lines("movu: calendar 2024-03-06: "), 1);

    // clang-format off
    struct Minute { const char* at; const char* news; } minutes[] = {  // "": the same live and in the tester
        {"12:30", "movu news: clear | next 15:00 USD Sample CPI y/y"},
        {"13:00", "movu news: blocked until 15:45 by USD Sample CPI y/y | nothing before 2024.03.07 01:30"},
        {"13:45", "movu news: blocked until 15:45 by USD Sample CPI y/y | nothing before 2024.03.07 01:30"},
        {"13:46", "movu news: clear | nothing before 2024.03.07 01:30"},
        {"23:50", ""}};
    // clang-format on
    std::vector<std::string> live;
    for (const auto& m : minutes) {
        Pass(static_cast<int>(Utc(m.at) - terminal.gmt));
        expert::OnTimer();
        live.push_back(News());
        EXPECT_EQ(live.back().rfind(m.news, 0), 0u) << m.at << ": " << live.back();
    }
    EXPECT_EQ(Lines("movu news: blocked until 15:45 by USD Sample CPI y/y"), 1);  // once, when it began
    expert::OnDeinit(0);
    EXPECT_TRUE(chart.objects.empty());
    EXPECT_EQ(chart.timer_ms, 0);

    Tester("11:59");  // before the day was first seen live: unknown, never clear
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    expert::OnTimer();
    EXPECT_EQ(News(), before);
    for (size_t i = 0; i < std::size(minutes); ++i) {
        terminal.current = Utc(minutes[i].at) + 7200;
        expert::OnTimer();
        EXPECT_EQ(News(), live[i]) << minutes[i].at;
    }
    EXPECT_EQ(Lines("failed"), 0);
    expert::OnDeinit(0);
    terminal.tester = false;
}

TEST(Expert, WithoutDllsLiveItDoesNotStartAndInTheTesterItNeedsNone) {
    movu::test::TempFolder dir("expert");
    script = Script{true};  // a DLL call would be counted
    Live(dir.path().string(), "12:00", false);
    EXPECT_EQ(expert::OnInit(), INIT_FAILED);
    EXPECT_EQ(chart.timer_ms, 0);
    EXPECT_EQ(Lines("DLL imports are off"), 1);
    Tester("12:00");  // nothing recorded: unknown, said once per day, not once per timer
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    for (int i = 0; i < 100; ++i) expert::OnTimer(), terminal.current += 15;
    EXPECT_EQ(Label(MOVU_NEWS_LABEL), "movu news: unknown: no calendar for 2024.03.05");
    EXPECT_EQ(Lines("failed"), 0);
    EXPECT_LE(Lines("2024-03-05"), 1);
    EXPECT_TRUE(script.accounts.empty());
    expert::OnDeinit(0);
    terminal.tester = script.on = false;
}

}  // namespace
