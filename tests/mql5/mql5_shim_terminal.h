// The terminal built-ins the example programs and the news filter call
// beyond the kit's: symbols, text and time formatting, timers, the chart's
// comment and objects, a program's life. Each as the MQL5 reference
// documents it; the tests read what a program left on its chart.
#pragma once

#include <map>

#include "mql5_shim.h"

#define input  // an input is a global the test may set before OnInit
#define INIT_SUCCEEDED 0
#define INIT_FAILED 1

inline bool StringToUpper(string& s) {
    for (auto& c : s) c = c >= 'a' && c <= 'z' ? static_cast<char16_t>(c - 32) : c;
    return true;
}

// Symbols: the tests give each one its currencies.
enum { SYMBOL_CURRENCY_BASE = 20, SYMBOL_CURRENCY_PROFIT, SYMBOL_CURRENCY_MARGIN };
struct MqlSymbol {
    std::string base, profit, margin;
};
inline std::map<std::string, MqlSymbol> symbols;
inline std::string current_symbol = "EURUSD";  // _Symbol
inline string SymbolInfoString(const string& name, int what) {
    auto it = symbols.find(name.utf8());
    if (it == symbols.end()) return string();
    return (what == SYMBOL_CURRENCY_BASE     ? it->second.base
            : what == SYMBOL_CURRENCY_PROFIT ? it->second.profit
                                             : it->second.margin)
        .c_str();
}
#define _Symbol string(current_symbol.c_str())

// "yyyy.mm.dd", "hh:mi", "hh:mi:ss", joined by a blank.
enum { TIME_DATE = 1, TIME_MINUTES = 2, TIME_SECONDS = 4 };
inline string TimeToString(datetime t, int mode = TIME_DATE | TIME_MINUTES) {
    MqlDateTime d;
    TimeToStruct(t, d);
    char date[32] = "", clock[32] = "";
    if (mode & TIME_DATE) std::snprintf(date, sizeof date, "%04d.%02d.%02d", d.year, d.mon, d.day);
    if (mode & TIME_SECONDS)
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", d.hour, d.min, d.sec);
    else if (mode & TIME_MINUTES)
        std::snprintf(clock, sizeof clock, "%02d:%02d", d.hour, d.min);
    return (std::string(date) + (*date && *clock ? " " : "") + clock).c_str();
}

template <class... A>
void PrintFormat(const char* format, A... a) {
    Print(StringFormat(format, a...));
}

// A program's life: its name, its timer, a stop request. TimeLocal is the
// computer's clock live and the simulated time in the tester.
enum { MQL_PROGRAM_NAME = 100 };
inline std::string program_name = "MovuProgram";
inline string MQLInfoString(int) { return program_name.c_str(); }
inline datetime TimeLocal() { return terminal.tester ? terminal.current : terminal.gmt; }
inline bool IsStopped() { return false; }

// The chart: its comment, its objects by name, the program's timer period.
enum { OBJ_LABEL = 23 };
enum {
    OBJPROP_COLOR,
    OBJPROP_SELECTABLE,
    OBJPROP_CORNER,
    OBJPROP_XDISTANCE,
    OBJPROP_YDISTANCE,
    OBJPROP_ANCHOR,
    OBJPROP_TEXT
};
enum { CORNER_LEFT_UPPER = 0, CORNER_LEFT_LOWER = 1 };
enum { ANCHOR_LEFT_UPPER = 0, ANCHOR_LEFT_LOWER = 2 };
typedef uint color;
enum : uint { clrLimeGreen = 0x32CD32, clrOrangeRed = 0x0045FF, clrGold = 0x00D7FF, clrSilver = 0xC0C0C0 };
struct MqlChartObject {
    int type = 0;
    std::string text;
};
struct MqlChart {
    std::string comment;
    std::map<std::string, MqlChartObject> objects;
    int timer_ms = 0;  // 0: no timer
};
inline MqlChart chart;
inline bool Comment(const string& text) { return chart.comment = text.utf8(), true; }
inline bool EventSetMillisecondTimer(int ms) { return ms > 0 && (chart.timer_ms = ms, true); }
inline bool EventSetTimer(int seconds) { return EventSetMillisecondTimer(seconds * 1000); }
inline void EventKillTimer() { chart.timer_ms = 0; }
inline int ObjectFind(long, const string& name) { return chart.objects.count(name.utf8()) ? 0 : -1; }
inline bool ObjectCreate(long, const string& name, int type, int, datetime, double) {
    return chart.objects.emplace(name.utf8(), MqlChartObject{type}).second;
}
inline bool ObjectDelete(long, const string& name) { return chart.objects.erase(name.utf8()) > 0; }
inline bool ObjectSetInteger(long, const string& name, int, long) { return chart.objects.count(name.utf8()) > 0; }
inline bool ObjectSetString(long, const string& name, int what, const string& value) {
    auto it = chart.objects.find(name.utf8());
    return it != chart.objects.end() && what == OBJPROP_TEXT && (it->second.text = value.utf8(), true);
}
inline void ChartRedraw(long = 0) {}
