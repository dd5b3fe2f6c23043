// The terminal built-ins the example programs and the news filter call
// beyond the kit's: symbols, text and time formatting, timers, the chart's
// comment and objects, a program's life. Each as the MQL5 reference
// documents it; the tests read what a program left on its chart.
#pragma once

#include <map>

#include "mql5_shim.h"

#define input  // an input is a global the test may set before OnInit
#define sinput
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
inline string DoubleToString(double v, int digits = 8) {
    char out[64];
    std::snprintf(out, sizeof out, "%.*f", digits, v);
    return out;
}
