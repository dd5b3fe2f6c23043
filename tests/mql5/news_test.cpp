// The news filter through the shim: its answer at chosen minutes from the
// days it holds, "unknown" where a needed day has no data, and the
// currencies it takes from a symbol or a list.
#include "mql5_shim_terminal.h"

#include <gtest/gtest.h>

#include <movu_news.mqh>

#include "temp_folder.h"

namespace {

datetime At(const char* utc) {  // "03-05 13:30": 2024, UTC
    datetime t = -1;
    EXPECT_TRUE(MovuParseTime((std::string("2024-") + utc + ":00Z").c_str(), t)) << utc;
    t -= t % 60 == 0 ? 0 : t % 60;
    return t;
}
std::string Id(const MovuCalendarEvent& e) { return std::to_string(e.id); }

MovuCalendarEvent Event(long id, const char* utc, const char* currency, int importance) {
    MovuCalendarEvent e;
    MovuNoEvent(e);
    e.id = id, e.time = At(utc), e.currency = currency, e.importance = importance;
    e.title = ("event " + std::to_string(id)).c_str();
    return e;
}

// 03-05: EUR 08:00, GBP and a medium USD (not the filter's), USD 13:30 and EUR
// 13:45 (overlapping windows), a USD of unknown importance at 23:50.
// 03-06: a EUR event at 02:00 and one lowercase "usd" at 09:00.
MqlArray<MovuCalendarEvent> Day5() {
    MqlArray<MovuCalendarEvent> day;
    for (auto e :
         {Event(1, "03-05 08:00", "EUR", 3), Event(2, "03-05 10:00", "GBP", 3), Event(3, "03-05 12:00", "USD", 2),
          Event(5, "03-05 13:45", "EUR", 3), Event(4, "03-05 13:30", "USD", 3), Event(6, "03-05 23:50", "USD", 0),
          Event(9, "03-06 01:00", "USD", 3)})  // not the day's: left out
        day.push_back(e);
    return day;
}
MqlArray<MovuCalendarEvent> Day6() {
    MqlArray<MovuCalendarEvent> day;
    day.push_back(Event(7, "03-06 02:00", "EUR", 3));
    day.push_back(Event(8, "03-06 09:00", "usd", 3));
    return day;
}

TEST(NewsFilter, AnswersAtChosenMinutesBlockedClearOrUnknown) {
    // clang-format off
    struct Case {
        const char* days;  // held: 4 = 03-04 (empty), 5, 6 known; u6 = 03-06 handed over as not known
        const char* at;
        int state; const char* blocking; const char* until; int next_state; const char* next; const char* from;
        const char* lacks = "";  // the day an unknown answer lacks
    } cases[] = {
        {"4 5 6", "03-05 07:29", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "1", "03-05 07:30"},
        {"4 5 6", "03-05 07:30", MOVU_NEWS_BLOCKED, "1", "03-05 08:15", MOVU_NEWS_BLOCKED, "4", "03-05 13:00"},
        {"4 5 6", "03-05 08:15", MOVU_NEWS_BLOCKED, "1", "03-05 08:15", MOVU_NEWS_BLOCKED, "4", "03-05 13:00"},
        {"4 5 6", "03-05 08:16", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "4", "03-05 13:00"},
        {"4 5 6", "03-05 11:45", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "4", "03-05 13:00"},  // GBP, medium
        {"4 5 6", "03-05 13:00", MOVU_NEWS_BLOCKED, "4", "03-05 13:45", MOVU_NEWS_BLOCKED, "5", "03-05 13:15"},
        {"4 5 6", "03-05 13:20", MOVU_NEWS_BLOCKED, "5", "03-05 14:00", MOVU_NEWS_BLOCKED, "6", "03-05 23:20"},
        {"4 5 6", "03-05 14:01", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "6", "03-05 23:20"},
        {"4 5 6", "03-05 23:30", MOVU_NEWS_BLOCKED, "6", "03-06 00:05", MOVU_NEWS_BLOCKED, "7", "03-06 01:30"},
        {"4 5 6", "03-06 00:05", MOVU_NEWS_BLOCKED, "6", "03-06 00:05", MOVU_NEWS_BLOCKED, "7", "03-06 01:30"},
        {"4 5 6", "03-06 00:06", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "7", "03-06 01:30"},
        {"4 5 6", "03-06 02:30", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "8", "03-06 08:30"},
        {"4 5 6", "03-06 09:16", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_UNKNOWN, "", ""},  // 03-07 not held
        // 03-06 not known: the answers that need it say so; blocked stays certain
        {"4 5 u6", "03-05 23:19", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "6", "03-05 23:20"},
        {"4 5 u6", "03-05 23:20", MOVU_NEWS_BLOCKED, "6", "03-06 00:05", MOVU_NEWS_UNKNOWN, "", ""},
        {"4 5 u6", "03-06 00:05", MOVU_NEWS_BLOCKED, "6", "03-06 00:05", MOVU_NEWS_UNKNOWN, "", ""},
        {"4 5 u6", "03-06 00:06", MOVU_NEWS_UNKNOWN, "", "", MOVU_NEWS_UNKNOWN, "", "", "03-06 00:00"},
        {"4 5", "03-05 23:29", MOVU_NEWS_BLOCKED, "6", "03-06 00:05", MOVU_NEWS_UNKNOWN, "", ""},
        {"4 5", "03-06 00:40", MOVU_NEWS_UNKNOWN, "", "", MOVU_NEWS_UNKNOWN, "", "", "03-06 00:00"},  // not 9
        {"5 6", "03-05 00:14", MOVU_NEWS_UNKNOWN, "", "", MOVU_NEWS_BLOCKED, "1", "03-05 07:30", "03-04 00:00"},
        {"5 6", "03-05 00:16", MOVU_NEWS_CLEAR, "", "", MOVU_NEWS_BLOCKED, "1", "03-05 07:30"},
    };
    // clang-format on
    for (const auto& c : cases) {
        CMovuNewsFilter news;
        news.SetCurrencies("EUR,USD");
        news.SetImportance(MOVU_IMPORTANCE_HIGH);
        news.SetWindow(30, 15);
        std::string held = c.days;
        MqlArray<MovuCalendarEvent> none;
        if (held.find('4') != held.npos) news.SetDay("2024-03-04", true, none);
        if (held.find('5') != held.npos) news.SetDay("2024-03-05", true, Day5());
        if (held.find(" 6") != held.npos) news.SetDay("2024-03-06", true, Day6());
        if (held.find("u6") != held.npos) news.SetDay("2024-03-06", false, Day6());  // events given, day not known
        MovuNewsState s;
        std::string where = std::string(c.days) + " @ " + c.at;
        EXPECT_EQ(news.Check(At(c.at), s), c.state) << where;
        EXPECT_EQ(s.state, c.state) << where;
        EXPECT_EQ(s.state == MOVU_NEWS_BLOCKED ? Id(s.blocking) : "", c.blocking) << where;
        EXPECT_EQ(s.until, *c.until ? At(c.until) : 0) << where;
        EXPECT_EQ(s.next_state, c.next_state) << where;
        EXPECT_EQ(s.next_state == MOVU_NEWS_BLOCKED ? Id(s.next) : "", c.next) << where;
        EXPECT_EQ(s.next_from, *c.from ? At(c.from) : 0) << where;
        // an unknown answer names the day it lacks
        EXPECT_EQ(s.unknown_day, c.state != MOVU_NEWS_UNKNOWN ? 0 : At(c.lacks)) << where;
        EXPECT_EQ(s.next_unknown_day != 0, c.next_state == MOVU_NEWS_UNKNOWN) << where;
    }
}

TEST(NewsFilter, NamesTheDaysItNeedsAndTheDayItLacks) {
    CMovuNewsFilter news;
    news.SetWindow(30, 15);
    MqlArray<datetime> days;
    // clang-format off
    const std::tuple<const char*, const char*, int> needed[] = {  // at, first day, how many
        {"03-05 12:00", "03-05 00:00", 2}, {"03-05 00:14", "03-04 00:00", 3}, {"03-05 23:30", "03-05 00:00", 3}};
    // clang-format on
    for (auto [at, first, count] : needed) {
        ASSERT_EQ(news.NeededDays(At(at), days), count) << at;
        for (int i = 0; i < count; ++i) EXPECT_EQ(days[i], At(first) + i * 86400) << at;
    }
    MqlArray<MovuCalendarEvent> none;  // a day that is known and empty is not unknown
    news.SetDay("2024-03-05", true, none);
    MovuNewsState s;
    EXPECT_EQ(news.Check(At("03-05 12:00"), s), MOVU_NEWS_CLEAR);
    EXPECT_EQ(s.next_state, MOVU_NEWS_UNKNOWN);
    EXPECT_EQ(s.next_unknown_day, At("03-06 00:00"));
    EXPECT_EQ(MovuNewsText(s, 7200).utf8(), "clear; next unknown: no calendar for 2024.03.06");
    news.SetDay("2024-03-06", true, Day6());
    news.SetLookAhead(0);
    EXPECT_EQ(news.Check(At("03-06 09:16"), s), MOVU_NEWS_CLEAR);
    EXPECT_EQ(s.next_state, MOVU_NEWS_CLEAR);
    EXPECT_EQ(s.horizon, At("03-06 23:30"));  // an event at 00:00 on 03-07 would block from here
    EXPECT_EQ(MovuNewsText(s, 3600).utf8(), "clear; nothing before 2024.03.07 00:30");
    EXPECT_EQ(news.Check(At("03-06 08:40"), s), MOVU_NEWS_BLOCKED);
    EXPECT_EQ(MovuNewsText(s, 7200).utf8(), "blocked until 11:15 by usd event 8; nothing before 2024.03.07 01:30");
    news.SetWindow(30, 15);  // a new setting drops what was held: unknown again, never clear
    EXPECT_EQ(news.Check(At("03-06 09:16"), s), MOVU_NEWS_UNKNOWN);
    EXPECT_EQ(MovuNewsText(s, 0).utf8(),
              "unknown: no calendar for 2024.03.06; next unknown: no calendar for 2024.03.06");
    EXPECT_FALSE(news.SetDay("2024-3-6", true, none));
    for (int d = 1; d <= MOVU_NEWS_MAX_DAYS + 2; ++d)  // the earliest days go first
        news.SetDay(At("03-01 00:00") + d * 86400, true, none);
    EXPECT_EQ(news.Check(At("03-02 12:00"), s), MOVU_NEWS_UNKNOWN);
    EXPECT_EQ(news.Check(At("03-11 12:00"), s), MOVU_NEWS_CLEAR);
}

TEST(NewsFilter, CurrenciesFromTheSymbolOrAList) {
    symbols["XAUUSD"] = {"XAU", "USD", "USD"};
    symbols["US500"] = {"", "usd", ""};
    // clang-format off
    const std::tuple<const char*, bool, std::vector<std::string>> cases[] = {  // symbol or list, is a symbol, codes
        {"XAUUSD", true, {"XAU", "USD"}}, {"US500", true, {"USD"}}, {"NOSUCH", true, {}},
        {"eur; usd ,EUR", false, {"EUR", "USD"}}, {" , ", false, {}}};
    // clang-format on
    CMovuNewsFilter news;
    for (const auto& [from, symbol, want] : cases) {
        EXPECT_EQ(symbol ? news.SetSymbol(from) : news.SetCurrencies(from) > 0, !want.empty()) << from;
        MqlArray<string> codes;
        std::vector<std::string> got;
        for (int i = 0; i < news.Currencies(codes); ++i) got.push_back(codes[i].utf8());
        EXPECT_EQ(got, want) << from;
    }
    // no currency known: every event counts, the side that holds trades back
    news.SetImportance(MOVU_IMPORTANCE_MEDIUM);
    EXPECT_TRUE(news.Matches(Event(1, "03-05 08:00", "NZD", 2)));
    EXPECT_FALSE(news.Matches(Event(1, "03-05 08:00", "NZD", 1)));
    news.SetCurrencies("NZD");
    EXPECT_FALSE(news.Matches(Event(1, "03-05 08:00", "AUD", 3)));
    EXPECT_TRUE(news.Matches(Event(1, "03-05 08:00", "nzd", 0)));
    symbols.clear();
}

// Observations recorded live at known moments; at each chosen minute the
// filter fed as a live program held the day then, and fed by the tester's
// replay as of that minute, gives the same answer: nothing observed later shows.
TEST(NewsFilter, LiveAndReplayedDaysGiveTheSameAnswerAtEachMinute) {
    movu::test::TempFolder dir("news");
    std::string at = dir.path().string();
    terminal = {1000000, 0, 0, 0, false, 1001, at + "/Files", at + "/Common", at + "/Agent/Files"};
    auto answer = [](const char* cpi_importance, bool added) {
        std::string a = R"({"ok":true,"events":[{"id":2,"title":"PMI","currency":"EUR","importance":"high",)"
                        R"("time":"2024-03-05T09:00:00Z"},{"id":1,"title":"CPI","currency":"USD","importance":")" +
                        std::string(cpi_importance) + R"(","time":"2024-03-05T13:30:00Z"})";
        if (added) a += R"(,{"id":3,"title":"Fed","currency":"USD","importance":"high","time":"2024-03-05T16:00:00Z"})";
        return a + "]}";
    };
    // clang-format off
    const struct { const char* date; const char* seen; std::string answer; } observed[] = {
        {"2024-03-05", "03-05 06:00", answer("medium", false)},
        {"2024-03-05", "03-05 10:00", answer("high", true)},  // CPI revised to high, Fed added
        {"2024-03-06", "03-05 20:00", R"({"ok":true,"events":[]})"}};
    const struct { const char* at; int state; const char* blocking; int next_state; const char* next; } minutes[] = {
        {"03-05 05:59", MOVU_NEWS_UNKNOWN, "", MOVU_NEWS_UNKNOWN, ""},  // nothing seen yet
        {"03-05 08:30", MOVU_NEWS_BLOCKED, "2", MOVU_NEWS_UNKNOWN, ""},  // CPI is medium, 03-06 unseen
        {"03-05 09:59", MOVU_NEWS_CLEAR, "", MOVU_NEWS_UNKNOWN, ""},
        {"03-05 10:00", MOVU_NEWS_CLEAR, "", MOVU_NEWS_BLOCKED, "1"},  // seen at this very second
        {"03-05 13:00", MOVU_NEWS_BLOCKED, "1", MOVU_NEWS_BLOCKED, "3"},
        {"03-05 19:59", MOVU_NEWS_CLEAR, "", MOVU_NEWS_UNKNOWN, ""},
        {"03-05 20:00", MOVU_NEWS_CLEAR, "", MOVU_NEWS_CLEAR, ""}};
    // clang-format on
    for (const auto& o : observed)
        ASSERT_TRUE(MovuRecordObservation(MOVU_RECORD_COMMON, o.date, At(o.seen), 7200, o.answer.c_str())) << o.seen;
    StartTester({});
    CMovuReplay replay;
    replay.Init(MOVU_RECORD_COMMON, MOVU_CLOCK_RECORDED, 0);
    for (const auto& m : minutes) {
        CMovuNewsFilter live, tester;
        for (CMovuNewsFilter* f : {&live, &tester}) f->SetCurrencies("EUR,USD"), f->SetWindow(30, 15);
        MqlArray<datetime> days;
        int n = tester.NeededDays(At(m.at), days);
        for (int i = 0; i < n; ++i) {
            MqlArray<MovuCalendarEvent> held, replayed;  // live: the newest answer seen by then
            bool known = false;
            for (const auto& o : observed) {
                string error;
                if (MovuDate(days[i]) == o.date && At(o.seen) <= At(m.at))
                    known = MovuParseEvents(o.answer.c_str(), held, error);
            }
            live.SetDay(days[i], known, held);
            tester.SetDay(days[i], replay.DayAsOf(days[i], At(m.at), replayed) == MOVU_DAY_KNOWN, replayed);
        }
        for (CMovuNewsFilter* f : {&live, &tester}) {
            const char* which = f == &live ? " live" : " tester";
            MovuNewsState s;
            EXPECT_EQ(f->Check(At(m.at), s), m.state) << m.at << which;
            EXPECT_EQ(s.state == MOVU_NEWS_BLOCKED ? Id(s.blocking) : "", m.blocking) << m.at << which;
            EXPECT_EQ(s.next_state, m.next_state) << m.at << which;
            EXPECT_EQ(s.next_state == MOVU_NEWS_BLOCKED ? Id(s.next) : "", m.next) << m.at << which;
        }
    }
    terminal = MqlTerminal();
}

}  // namespace
