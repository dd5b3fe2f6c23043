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
#include <string>

#include "platform/platform.h"

extern char** environ;

namespace movu::platform {
namespace {

#if defined(__APPLE__)
constexpr char kOpener[] = "open";
#else
constexpr char kOpener[] = "xdg-open";
#endif

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

// Accepted only when the opener started and said so with exit status 0. If
// the host reaps children itself (SIGCHLD ignored), the status is lost and
// the request counts as refused rather than guessed.
bool OpenWithDefaultHandler(const std::u16string& target) {
    std::string text = Utf16ToUtf8(target);
    if (text.empty() || text.find('\0') != std::string::npos) return false;

    SpawnAttributes attributes;
    if (!attributes.ready) return false;
    std::string program = kOpener;
    char* argv[] = {&program[0], &text[0], nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, kOpener, nullptr, &attributes.attr, argv, environ) != 0) return false;

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace movu::platform
