// A host that loads the library, starts background jobs and ends at once
// with a status of its own, while the workers are still starting, connecting,
// in a TLS handshake or waiting for an answer. Run by exit_test.cpp:
//
//   movu_exit_child STATUS JOBS [--warm PATH] [--cancel] BASE_URL...
//
// --warm first runs one job for PATH at the first base URL to its end (so
// the TLS library is set up and a session is kept when the others start).
// Then, for each base URL in turn, it sets that URL and starts JOBS pings;
// with --cancel it then cancels every job. Then exit(STATUS): the C
// runtime's exit, so exit handlers and static destructors run as in any
// host. Its own failures: 2 a bad command line, 3 the library not loaded,
// 4 a start or cancel refused, 5 the warm-up job failed.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "library_loader.h"
#include "movu_mt5.h"

using movu::test::Library;

namespace {

using SetTextFn = void(MOVU_CALL*)(const char*);
using StartPingFn = int32_t(MOVU_CALL*)(const char*, const char*, const char*, const char*, const char*, int32_t*);
using StartFn = int32_t(MOVU_CALL*)(const char*, const char*, const char*, const char*, const char*, const char*,
                                    const char*, const char*, const char*, int32_t*);
using PollFn = int32_t(MOVU_CALL*)(int32_t, int32_t*, int32_t*, char*, int32_t);
using CancelFn = int32_t(MOVU_CALL*)(int32_t);

int ParseCount(const std::string& text) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && n >= 0 && n <= 1000 ? static_cast<int>(n) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 3) return 2;
    const int status = ParseCount(args[0]), jobs = ParseCount(args[1]);
    if (status < 0 || status > 125 || jobs < 0) return 2;
    args.erase(args.begin(), args.begin() + 2);
    std::string warmPath;
    bool cancel = false;
    while (!args.empty() && args.front().rfind("--", 0) == 0) {
        if (args.front() == "--cancel") {
            cancel = true;
            args.erase(args.begin());
        } else if (args.front() == "--warm" && args.size() > 1) {
            warmPath = args[1];
            args.erase(args.begin(), args.begin() + 2);
        } else {
            return 2;
        }
    }
    const std::vector<std::string>& urls = args;
    if (urls.empty()) return 2;

    // Never unloaded: the process ends with the library in place, as a
    // terminal does that closes with programs still running.
    static Library* const lib = new Library(Library::DefaultPath());
    if (!lib->loaded()) return 3;
    const auto setBaseUrl = lib->Symbol<SetTextFn>("Movu_SetBaseUrlA");
    const auto startPing = lib->Symbol<StartPingFn>("Movu_StartPingA");
    const auto start = lib->Symbol<StartFn>("Movu_GetAsyncSignedA");
    const auto poll = lib->Symbol<PollFn>("Movu_PollA");
    const auto cancelJob = lib->Symbol<CancelFn>("Movu_Cancel");
    if (!setBaseUrl || !startPing || !start || !poll || !cancelJob) return 3;

    if (!warmPath.empty()) {
        setBaseUrl(urls.front().c_str());
        int32_t id = 0, state = 0, rc = 0;
        if (start("exit-account", "MT5", "", "", "1.0", warmPath.c_str(), "", "GET", "", &id) != 0) return 4;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((rc = poll(id, &state, nullptr, nullptr, 0)) == 0 && state == 0 &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (rc != 0 || state != 1) return 5;
    }
    std::vector<int32_t> ids;
    for (const std::string& url : urls) {
        setBaseUrl(url.c_str());
        for (int i = 0; i < jobs; ++i) {
            int32_t id = 0;
            if (startPing("exit-account", "MT5", "", "", "1.0", &id) != 0) return 4;
            ids.push_back(id);
        }
    }
    if (cancel)
        for (int32_t id : ids)
            if (cancelJob(id) != 0) return 4;
    std::exit(status);
}
