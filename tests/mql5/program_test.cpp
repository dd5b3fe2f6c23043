// The three example programs compiled through the shim, each in a namespace
// of its own with its own copy of the kit: a terminal live on 2024-03-05 at
// a chosen UTC minute with the trade server at UTC+2, against the dev server
// or a scripted DLL, then the same terminal's tester agent.
#include "mql5_shim_terminal.h"

#include <gtest/gtest.h>

#include "mql5_dll.h"

namespace indicator {
#include "MovuNextEvents.mq5"
}
#undef MOVU_MT5_MQH
#undef MOVU_CALENDAR_MQH
namespace expert {
#include "MovuJobsExpert.mq5"
}
#undef MOVU_MT5_MQH
#undef MOVU_CALENDAR_MQH
namespace today {
#include "MovuCalendarToday.mq5"
}

namespace {

datetime Utc(const char* hhmm) {  // on 2024-03-05
    return 1709596800 + std::stol(std::string(hhmm, 2)) * 3600 + std::stol(std::string(hhmm + 3, 2)) * 60;
}
// The tick count never goes back, whatever another test set: a program's
// globals outlive OnDeinit, and their pacing with them.
ulong ticks_seen = 0;

// Live at UTC hh:mm, DLLs allowed or not, files under folder.
void Live(const movu::test::TempFolder& folder, const char* hhmm, bool dlls = true) {
    std::string at = folder.path().string();
    ticks_seen = std::max(ticks_seen, terminal.ticks) + 3600000;
    terminal = {ticks_seen, Utc(hhmm),     Utc(hhmm) + 7200, Utc(hhmm) + 7200,    false,
                5550123,    at + "/Files", at + "/Common",   at + "/Agent/Files", dlls};
    symbols["EURUSD"] = {"EUR", "USD", "EUR"};
    chart = MqlChart();
    journal.clear();
}
// The clocks move on together: the computer's, the server's, the tick count.
void Pass(int seconds) {
    terminal.gmt += seconds, terminal.server += seconds, terminal.current += seconds;
    ticks_seen = terminal.ticks += 1000UL * seconds;
}
// The tester's agent at the server time of UTC hh:mm; no DLLs there.
void Tester(const char* hhmm, const std::vector<std::string>& tester_files = {}) {
    terminal.dlls = false;
    StartTester(tester_files);
    terminal.current = Utc(hhmm) + 7200;
    chart = MqlChart();
    journal.clear();
}
int Lines(const std::string& part) {
    std::lock_guard<std::mutex> hold(journal_lock);
    return std::count_if(journal.begin(), journal.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
}
#define START_DEV_SERVER(server)                           \
    DevServer server;                                      \
    ASSERT_TRUE(Real().loaded()) << Real().error();        \
    ASSERT_FALSE(server.port().empty()) << server.error(); \
    script = Script();                                     \
    Movu_SetBaseUrl(string(server.url().c_str()))

const char* kHead = "movu: next events (server time, UTC+2.0)";
const char* kCpi = "\n15:30  *** USD  Sample CPI y/y  forecast 3.00%";

TEST(Indicator, LiveAPassedEventLeavesAtOnceAndTheTesterShowsTheRecordedDay) {
    movu::test::TempFolder dir("indicator");
    Live(dir, "13:29");
    START_DEV_SERVER(server);
    indicator::InpBaseUrl = "";
    ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
    EXPECT_EQ(chart.timer_ms, 1000);
    EXPECT_EQ(chart.comment, std::string(kHead) + "\nwaiting for the calendar...");
    for (int i = 0; i < 3000 && chart.comment.find(kCpi) == std::string::npos; ++i)  // 30 s at most
        indicator::OnTimer(), std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(chart.comment, std::string(kHead) + kCpi);
    Pass(61);  // 13:30:01, long before the next refresh: the timer alone takes it off
    indicator::OnTimer();
    EXPECT_EQ(chart.comment, std::string(kHead) + "\n(none left today)");
    indicator::OnDeinit(0);
    EXPECT_EQ(chart.comment, "");

    // clang-format off
    const std::tuple<const char*, bool, std::string> tester[] = {  // server time at UTC, recorded locally, the chart
        {"13:28", false, "\ncalendar failed: -1004 (no recorded calendar for this day) no recorded calendar for this day"},
        {"13:29", false, kCpi}, {"13:31", false, "\n(none left today)"},  // seen live at 13:29
        {"13:29", true, "\ncalendar failed: -1004 (no recorded calendar for this day) no recorded calendar for this day"}};
    // clang-format on
    for (const auto& [at, local, shown] : tester) {
        Tester(at);
        indicator::InpRecordLocal = local;
        ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
        for (int i = 0; i < 2; ++i) indicator::OnTimer();  // the start, then its answer
        EXPECT_EQ(chart.comment, std::string(kHead) + shown) << at << (local ? " local" : "");
        indicator::OnDeinit(0);
    }
    indicator::InpRecordLocal = false;
}

TEST(Indicator, AfterARefusedChangesStartItWaitsOnTheChangesPacing) {
    movu::test::TempFolder dir("indicator");
    script = Script{true};
    script.poll_text = R"({"ok":true,"events":[{"id":1,"title":"T","time":"2024-03-05T13:30:00Z"}]})";
    Live(dir, "12:00");
    indicator::InpRetrySeconds = 1;
    ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
    indicator::OnTimer(), indicator::OnTimer();  // the day starts and is held
    Pass(600);
    indicator::OnTimer();  // its changes start
    script.poll_rc = MOVU_ERR_TOO_MANY_REQUESTS;
    indicator::OnTimer();  // and are refused: the changes back off, the day does not
    Pass(1);
    indicator::OnTimer();  // too soon for changes
    EXPECT_NE(chart.comment.find("calendar not started: -1002"), std::string::npos) << chart.comment;
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

TEST(Indicator, AtMidnightUtcItAsksForTheNewDayWhole) {
    movu::test::TempFolder dir("indicator");
    script = Script{true};
    script.poll_text = R"({"ok":true,"events":[]})";
    Live(dir, "23:58");
    ASSERT_EQ(indicator::OnInit(), INIT_SUCCEEDED);
    indicator::OnTimer(), indicator::OnTimer();  // the day starts and is held
    EXPECT_EQ(indicator::g_day.date.utf8(), "2024-03-05");
    Pass(120);
    const size_t calls = script.accounts.size();
    indicator::OnTimer();
    EXPECT_EQ(indicator::g_day.date.utf8(), "2024-03-06");
    EXPECT_EQ(indicator::g_day.Kind().utf8(), MOVU_PATH_DAY);
    EXPECT_EQ(script.accounts.size(), calls + 1);
    indicator::OnDeinit(0);
    script.on = false;
}

// The expert's news filter live against the dev server, then in the tester
// from the days it recorded: the same answer, minute for minute.
TEST(Expert, NewsFilterAnswersLiveAndInTheTesterAlikeMinuteForMinute) {
    auto news = [] {
        auto label = [](const char* name) {
            auto it = chart.objects.find(name);
            return it == chart.objects.end() ? "(none)" : it->second.text;
        };
        return label(MOVU_NEWS_LABEL) + " | " + label(MOVU_NEXT_LABEL);
    };
    movu::test::TempFolder dir("expert");
    Live(dir, "12:00");
    START_DEV_SERVER(server);
    expert::InpBaseUrl = "";  // the terminal's setting is kept
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    EXPECT_EQ(chart.timer_ms, 500);
    const std::string before = news();
    EXPECT_EQ(before, "movu news: unknown: no calendar for 2024.03.05 | next unknown: no calendar for 2024.03.05");
    for (int i = 0; i < 3000 && !(Lines("calendar 2024-03-05: ") && Lines("calendar 2024-03-06: ")); ++i) {
        expert::OnTimer();  // real background jobs: up to 30 s, 5 minutes of the expert's time
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (i % 10 == 9) Pass(1);  // lets the pacing's minimum interval pass
    }
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
        live.push_back(news());
        EXPECT_EQ(live.back().rfind(m.news, 0), 0u) << m.at << ": " << live.back();
    }
    EXPECT_EQ(Lines("movu news: blocked until 15:45 by USD Sample CPI y/y"), 1);  // once, when it began
    expert::OnDeinit(0);
    EXPECT_TRUE(chart.objects.empty());
    EXPECT_EQ(chart.timer_ms, 0);

    Tester("11:59");  // before the day was first seen live: unknown, never clear
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    expert::OnTimer();
    EXPECT_EQ(news(), before);
    for (size_t i = 0; i < std::size(minutes); ++i) {
        terminal.current = Utc(minutes[i].at) + 7200;
        expert::OnTimer();
        EXPECT_EQ(news(), live[i]) << minutes[i].at;
    }
    EXPECT_EQ(Lines("failed"), 0);
    expert::OnDeinit(0);
}

TEST(Script, PrintsTheDayAtTheServersTimeAndRecordsIt) {
    movu::test::TempFolder dir("script");
    Live(dir, "12:00");
    START_DEV_SERVER(server);
    today::InpBaseUrl = "";
    today::OnStart();
    // the shim pads %-40s by bytes, MQL5 by characters: the non-ASCII title is left out
    const std::vector<std::string> want = {
        "movu: calendar 2024-03-05: 4 events (times at the trade server, UTC+2.0)",
        "02:30 AUD Sample Retail Sales m/m                  actual 0.60%  forecast 0.50%  previous 0.50%",
        "10:00 CHF Sample Business Confidence               actual 102.70pts  forecast 97.80pts  previous 98.20pts",
        "12:00 EUR Sample Sentiment Index \xE2\x80\x93 Flash",
        "15:30 USD Sample CPI y/y                           actual 2.60%  forecast 3.00%  previous 3.10%"};
    ASSERT_EQ(journal.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(i == 3 ? journal[i].substr(0, want[i].size()) : journal[i], want[i]);
    EXPECT_TRUE(std::filesystem::exists(terminal.common + "/movu_calendar/2024-03-05.txt"));
}

// Without DLLs live nothing starts and nothing is called; the expert in the
// tester needs none, and a day never recorded is unknown, said once.
TEST(Programs, WithoutDllsLiveNoneStartsAndTheTesterNeedsNone) {
    movu::test::TempFolder dir("programs");
    script = Script{true};  // a DLL call would be counted
    Live(dir, "12:00", false);
    EXPECT_EQ(indicator::OnInit(), INIT_FAILED);
    EXPECT_EQ(expert::OnInit(), INIT_FAILED);
    today::OnStart();
    EXPECT_EQ(chart.timer_ms, 0);
    EXPECT_EQ(Lines("DLL imports are off"), 3);
    EXPECT_EQ(journal.size(), 3u);
    Tester("12:00");
    ASSERT_EQ(expert::OnInit(), INIT_SUCCEEDED);
    for (int i = 0; i < 100; ++i) expert::OnTimer(), terminal.current += 15;
    EXPECT_EQ(chart.objects[MOVU_NEWS_LABEL].text, "movu news: unknown: no calendar for 2024.03.05");
    EXPECT_EQ(Lines("failed"), 0);
    EXPECT_LE(Lines("2024-03-05"), 1);
    EXPECT_TRUE(script.accounts.empty());
    expert::OnDeinit(0);
    script.on = false;
}

}  // namespace
