// The library loaded at run time, as the terminal loads it: every export is
// looked up by its undecorated name.
#pragma once

#include <string>
#include <vector>

#include "movu_mt5.h"

// clang-format off
#define MOVU_CLI_EXPORTS(X)                                                                 \
    X(SetBaseUrl) X(SetBaseUrlA) X(SetBaseUrls) X(SetBaseUrlsA) X(SetProductSecret)         \
    X(SetProductSecretA) X(SetTerminalDataPath) X(SetTerminalDataPathA) X(CalendarDay)      \
    X(CalendarDayA) X(CalendarMeta) X(CalendarMetaA) X(CalendarChanges) X(CalendarChangesA) \
    X(Heartbeat) X(HeartbeatA) X(VipStatus) X(VipStatusA) X(GetAsyncSignedA)                \
    X(GetAsyncSignedW) X(StartCalendarDayA) X(StartCalendarDayW) X(StartCalendarMetaA)      \
    X(StartCalendarMetaW) X(StartPingA) X(StartPingW) X(StartRegisterA) X(StartRegisterW)   \
    X(StartVipStatusA) X(StartVipStatusW) X(PollA) X(Cancel) X(ProtectTextW)                \
    X(UnprotectTextW) X(OpenUrl)
// clang-format on

namespace movu::cli {

struct Exports {
#define MOVU_CLI_POINTER(name) decltype(&::Movu_##name) name = nullptr;
    MOVU_CLI_EXPORTS(MOVU_CLI_POINTER)
#undef MOVU_CLI_POINTER
};

class Library {
public:
    Library() = default;
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads the file and resolves all exports; on failure error() says why.
    bool Load(const std::string& path);
    const Exports& exports() const { return exports_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // Where the library is looked for when no path is given, in order: beside
    // this program, in MQL5/Libraries below its folder (the release layout),
    // then the build folder it was built in.
    static std::vector<std::string> DefaultPaths();

private:
    void* handle_ = nullptr;
    Exports exports_;
    std::string error_;
    std::string path_;
};

}  // namespace movu::cli
