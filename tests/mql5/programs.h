// What the example programs' tests share: a terminal live on 2024-03-05 at a
// chosen UTC minute with the trade server at UTC+2, the same terminal's
// tester agent, and the journal lines a program printed.
#pragma once

#include "mql5_shim_terminal.h"

#include <gtest/gtest.h>

#include "mql5_dll.h"

namespace programs {

inline datetime Utc(const char* hhmm) {  // on 2024-03-05
    return 1709596800 + std::stol(std::string(hhmm, 2)) * 3600 + std::stol(std::string(hhmm + 3, 2)) * 60;
}
// The tick count never goes back, whatever another test set: a program's
// globals outlive OnDeinit, and their pacing with them.
inline ulong ticks_seen = 0;
inline ulong TicksOnward() { return ticks_seen = std::max(ticks_seen, terminal.ticks) + 3600000; }

// Live at UTC hh:mm, DLLs allowed or not, files under folder.
inline void Live(const std::string& folder, const char* hhmm, bool dlls = true) {
    terminal = {TicksOnward(), Utc(hhmm),         Utc(hhmm) + 7200,   Utc(hhmm) + 7200,        false,
                5550123,       folder + "/Files", folder + "/Common", folder + "/Agent/Files", dlls};
    symbols["EURUSD"] = {"EUR", "USD", "EUR"};
    current_symbol = "EURUSD";
    chart = MqlChart();
    std::lock_guard<std::mutex> hold(journal_lock);
    journal.clear();
}
// The clocks move on together: the computer's, the server's, the tick count.
inline void Pass(int seconds) {
    terminal.gmt += seconds, terminal.server += seconds, terminal.current += seconds;
    terminal.ticks += 1000UL * seconds;
    ticks_seen = std::max(ticks_seen, terminal.ticks);
}
// The tester's agent at the server time of UTC hh:mm; no DLLs there.
inline void Tester(const char* hhmm, const std::vector<std::string>& tester_files = {}) {
    terminal.dlls = false;
    StartTester(tester_files);
    terminal.current = Utc(hhmm) + 7200;
    chart = MqlChart();
    std::lock_guard<std::mutex> hold(journal_lock);
    journal.clear();
}
inline std::vector<std::string> Journal() {
    std::lock_guard<std::mutex> hold(journal_lock);
    return journal;
}
inline int Lines(const std::string& part) {
    int n = 0;
    for (const auto& line : Journal()) n += line.find(part) != line.npos;
    return n;
}

}  // namespace programs
