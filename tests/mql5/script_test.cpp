// MovuCalendarToday compiled through the shim: live with DLLs against the dev
// server (the terminal's base URL left as it was, the day recorded), and
// refused without them.
#include "programs.h"

namespace today {
#include "MovuCalendarToday.mq5"
}

namespace {

using namespace programs;

TEST(Script, PrintsTheDayAtTheServersTimeAndRecordsIt) {
    movu::test::TempFolder dir("script");
    DevServer server;
    ASSERT_TRUE(Real().loaded()) << Real().error();
    ASSERT_FALSE(server.port().empty()) << server.error();
    script = Script();
    Live(dir.path().string(), "12:00");
    Movu_SetBaseUrl(string(server.url().c_str()));
    today::InpBaseUrl = "";
    today::OnStart();
    const std::vector<std::string> want = {
        "movu: calendar 2024-03-05: 4 events (times at the trade server, UTC+2.0)",
        "02:30 AUD Sample Retail Sales m/m                  actual 0.60%  forecast 0.50%  previous 0.50%",
        "10:00 CHF Sample Business Confidence               actual 102.70pts  forecast 97.80pts  previous 98.20pts",
        "15:30 USD Sample CPI y/y                           actual 2.60%  forecast 3.00%  previous 3.10%"};
    auto got = Journal();  // the shim pads %-40s by bytes, MQL5 by characters: the non-ASCII title is left out
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[3].rfind("12:00 EUR Sample Sentiment Index \xE2\x80\x93 Flash ", 0), 0u) << got[3];
    got.erase(got.begin() + 3);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(std::filesystem::exists(terminal.common + "/movu_calendar/2024-03-05.txt"));
}

TEST(Script, WithoutDllsItSaysWhyAndCallsNothing) {
    movu::test::TempFolder dir("script");
    script = Script{true};
    Live(dir.path().string(), "12:00", false);
    today::OnStart();
    EXPECT_EQ(Journal().size(), 1u);
    EXPECT_EQ(Lines("DLL imports are off"), 1);
    EXPECT_TRUE(script.accounts.empty());
    script.on = false;
}

}  // namespace
