// The DLL side of the MQL5 kit's tests: the real library, loaded as the
// terminal loads it, or a script for the kit's own logic; and the dev server
// a test starts on a port of its own.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "library_loader.h"
#include "mql5_shim.h"
#include "temp_folder.h"

// The library's own declarations, apart from the MQL5 imports of the same names.
namespace real {
#include "movu_mt5.h"
}

// ---- the DLL side: the real library, or a script for CMovuClient's own logic ----

struct Script {
    bool on = false;
    int start_rc = 0, next_id = 1, sync_rc = 0, poll_rc = 0;  // a job finishes with poll_rc
    std::string sync_text = "{}", poll_text = "{}";
    std::vector<std::string> accounts;  // the account of every call made
};
inline Script script;

template <class... A>
int DllSync(const string& account, A&... a) {  // (account, ..., buffer, capacity)
    auto arg = std::tie(a...);
    script.accounts.push_back(account.utf8());
    auto* buffer = reinterpret_cast<char*>(std::get<sizeof...(A) - 2>(arg).data());
    std::snprintf(buffer, std::get<sizeof...(A) - 1>(arg), "%s", script.sync_text.c_str());
    return script.sync_rc;
}
template <class... A>
int DllStart(const MqlArray<uchar>& account, A&... a) {  // (account, ..., job id)
    script.accounts.push_back(reinterpret_cast<const char*>(account.data()));
    if (script.start_rc == 0) std::get<sizeof...(A) - 1>(std::tie(a...)) = script.next_id++;
    return script.start_rc;
}
inline int DllPoll(int, int& state, int& http, MqlArray<uchar>& buffer, int capacity) {
    state = script.poll_rc == 0 ? 1 : -1, http = 200;
    std::snprintf(reinterpret_cast<char*>(buffer.data()), capacity, "%s", script.poll_text.c_str());
    return script.poll_rc;
}

inline movu::test::Library& Real() {
    static movu::test::Library lib(movu::test::Library::DefaultPath());
    return lib;
}
// An MQL5 argument as the export's parameter takes it: a text or a buffer as
// its pointer, an out integer as its address.
template <class V>
struct Arg {
    V& v;
    template <class T>
    operator T() const {
        if constexpr (!std::is_pointer_v<T>)
            return v;
        else if constexpr (std::is_arithmetic_v<V>)
            return &v;
        else
            return reinterpret_cast<T>(v.data());
    }
};
#define MOVU_DLL(name, scripted)                                                                   \
    template <class... A>                                                                          \
    auto name(A&&... a) {                                                                          \
        if (script.on) return scripted;                                                            \
        return Real().Symbol<decltype(&real::name)>(#name)(Arg<std::remove_reference_t<A>>{a}...); \
    }
MOVU_DLL(Movu_SetBaseUrl, void());
MOVU_DLL(Movu_SetBaseUrls, void());
MOVU_DLL(Movu_SetProductSecret, void());
MOVU_DLL(Movu_SetTerminalDataPath, void());
MOVU_DLL(Movu_CalendarDayA, DllSync(a...));
MOVU_DLL(Movu_CalendarMetaA, DllSync(a...));
MOVU_DLL(Movu_CalendarChangesA, DllSync(a...));
MOVU_DLL(Movu_HeartbeatA, DllSync(a...));
MOVU_DLL(Movu_VipStatusA, DllSync(a...));
MOVU_DLL(Movu_GetAsyncSignedA, DllStart(a...));
MOVU_DLL(Movu_StartCalendarDayA, DllStart(a...));
MOVU_DLL(Movu_StartCalendarMetaA, DllStart(a...));
MOVU_DLL(Movu_StartPingA, DllStart(a...));
MOVU_DLL(Movu_StartRegisterA, DllStart(a...));
MOVU_DLL(Movu_StartVipStatusA, DllStart(a...));
MOVU_DLL(Movu_PollA, DllPoll(a...));
MOVU_DLL(Movu_Cancel, 0);
MOVU_DLL(Movu_ProtectTextW, -99);
MOVU_DLL(Movu_UnprotectTextW, -99);
MOVU_DLL(Movu_OpenUrl, -99);

// The dev server on a port of its own, stopped when this goes; empty port()
// when it did not start (error() says why).
class DevServer {
public:
    DevServer() : dir_("mql5dev") {
        const char* launcher = std::getenv("MOVU_DEVSERVER");
        if (!launcher) {
            error_ = "MOVU_DEVSERVER names the dev server";
            return;
        }
        std::string port_file = dir_.path().string() + "/port", parent = std::to_string(getpid());
        pid_ = fork();
        if (pid_ == 0) {
            execl(launcher, launcher, "--port", "0", "--port-file", port_file.c_str(), "--parent-pid", parent.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 300 && port_.empty(); ++i) {  // polls the file the server writes once listening
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream(port_file) >> port_;
        }
        if (port_.empty()) error_ = "the dev server did not start";
    }
    ~DevServer() {
        if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    }
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;
    const std::string& port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + port_; }
    const std::string& error() const { return error_; }

private:
    movu::test::TempFolder dir_;
    pid_t pid_ = -1;
    std::string port_, error_;
};
