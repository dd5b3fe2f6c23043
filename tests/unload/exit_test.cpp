// A host may end at any moment, whatever jobs are in flight: it must end
// with its own status, never with a crash or a hang of the library's making.
// Each run is a process of its own (movu_exit_child) that starts dozens of
// HTTPS and HTTP jobs and exits at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
extern char** environ;
#endif

#include "testservice_client.h"

using namespace movu::test;

namespace {

#if defined(_WIN32)
constexpr int kRuns = 12;  // a process start under Wine takes about a second
#elif defined(__SANITIZE_THREAD__)
constexpr int kRuns = 20;  // and under ThreadSanitizer more
#else
constexpr int kRuns = 50;
#endif
constexpr int kJobsPerUrl = 24;
constexpr int kStatus = 37;
constexpr int kSecondsPerRun = 60;

// The child program beside this one.
std::string ChildPath() {
#ifdef _WIN32
    char self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + "movu_exit_child.exe";
#else
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "movu_exit_child";
#endif
}

// How the child ended: "exit N", "signal N", "hung" or why it did not start.
std::string RunChild(const std::vector<std::string>& args) {
#ifdef _WIN32
    std::string line = "\"" + ChildPath() + "\"";
    for (const std::string& a : args) line += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return "not started: " + std::to_string(GetLastError());
    CloseHandle(pi.hThread);
    std::string how;
    if (WaitForSingleObject(pi.hProcess, kSecondsPerRun * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, INFINITE);
        how = "hung";
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        // An unhandled exception ends a process with its NTSTATUS (0xC...).
        how = code >= 0xC0000000u ? "exception " + std::to_string(code) : "exit " + std::to_string(code);
    }
    CloseHandle(pi.hProcess);
    return how;
#else
    const std::string path = ChildPath();
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (const int err = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ); err != 0)
        return "not started: " + std::string(std::strerror(err));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSecondsPerRun);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return "hung";
    }
    if (done < 0) return "not waited for: " + std::string(std::strerror(errno));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
#endif
}

}  // namespace

// Every run ends with the child's own status. A third of the runs exit as
// soon as the jobs are started (their workers still starting); the others
// first see one HTTPS job through, so that the TLS library is set up when the
// jobs start and their workers are inside handshakes or waiting for a stalled
// answer at the exit; half of those cancel every job first.
TEST(Exit, WithJobsInFlightEndsWithTheHostsOwnStatus) {
    TestService& service = TestService::Instance();
    ASSERT_TRUE(service.available()) << service.error();
    const std::string noHttps = HttpsUnavailable();
    if (!noHttps.empty()) GTEST_SKIP() << noHttps;
    const std::string expected = "exit " + std::to_string(kStatus);
    for (int run = 1; run <= kRuns; ++run) {
        // Sites of the run's own: closing them ends the stalled exchanges the
        // child left behind, so the service never holds more than one run's.
        Site secure = service.OpenSite(true), plain = service.OpenSite();
        for (Site* site : {&secure, &plain}) {
            site->Script("/v1/client/token.php", TokenAnswer("T1", true));
            site->Script("/v1/client/ping.php", Fault("stall", true));
        }
        secure.Script("/warm", Answer(200, "warm"));
        std::vector<std::string> args{std::to_string(kStatus), std::to_string(kJobsPerUrl)};
        const bool warm = run % 3 != 0, cancel = run % 3 == 2;
        if (warm) args.insert(args.end(), {"--warm", "/warm"});
        if (cancel) args.push_back("--cancel");
        args.push_back(secure.BaseUrl("localhost"));
        args.push_back(plain.BaseUrl());
        ASSERT_EQ(RunChild(args), expected)
            << "run " << run << " of " << kRuns << (warm ? ", warmed up" : "") << (cancel ? ", jobs cancelled" : "");
        // The warm-up reached the far side over TLS: the TLS library was in use.
        EXPECT_EQ(secure.Requests("/warm").size(), warm ? 1u : 0u) << "run " << run;
    }
}
