// The desktop's default handler on POSIX: xdg-open (open on macOS), found on
// PATH and started directly, never through a shell. The text is one argument
// of its own, so quotes, spaces and ';' in it are only characters.
//
// xdg-open has no "--" marker: a text that looks like one of its options
// ("--help", "--version") is read as that option. Nothing else can come of
// it, since the opener is not a shell, so such texts are passed on unchanged
// like every other text.
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"

extern char** environ;

namespace movu::platform {
namespace {

#if defined(__APPLE__)
constexpr char kOpener[] = "open";
#else
constexpr char kOpener[] = "xdg-open";
#endif

// How long an opener may take to refuse (not found, or exiting non-zero)
// before it counts as running; docs/api.md names it.
constexpr std::chrono::milliseconds kOpenerGrace{500};

// The opener starts with default signal handling and nothing blocked,
// whatever the host has set up for itself.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    bool ready = false;
    SpawnAttributes() {
        if (posix_spawnattr_init(&attr) != 0) return;
        ready = true;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() {
        if (ready) posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

// Accepted once the opener has started and has not failed within a short
// grace: an opener that cannot start or exits non-zero at once is a refusal.
// One still running then (xdg-open keeps the browser in the foreground when
// there is no desktop session) is left to a thread that reaps it whenever it
// ends, so the caller never waits for the opened program and no zombie
// stays. If the host reaps children itself (SIGCHLD ignored), the status is
// lost and the request counts as refused rather than guessed.
bool OpenWithDefaultHandler(const std::string& target) {
    std::string text = target;
    if (text.empty() || text.find('\0') != std::string::npos) return false;

    SpawnAttributes attributes;
    if (!attributes.ready) return false;
    std::string program = kOpener;
    char* argv[] = {&program[0], &text[0], nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, kOpener, nullptr, &attributes.attr, argv, environ) != 0) return false;

    const auto until = std::chrono::steady_clock::now() + kOpenerGrace;
    for (;;) {
        int status = 0;
        const pid_t waited = waitpid(child, &status, WNOHANG);
        if (waited == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (waited < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    try {
        std::thread([child] {
            int status = 0;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to spare: the opener runs all the same and is reaped by
        // whoever reaps this process's children.
    }
    return true;
}

}  // namespace movu::platform
