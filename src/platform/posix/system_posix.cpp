#include <pthread.h>

#include <cstddef>
#include <ctime>
#include <memory>

#include "platform/platform.h"

namespace movu::platform {

std::int64_t NowUnixSeconds() {
    // Whole seconds are all a token's expiry needs; time() reads the kernel's
    // coarse clock without the cost of the fine one on every warm request.
    return static_cast<std::int64_t>(std::time(nullptr));
}

// A worker's stack: the deepest path (an exchange through the TLS stack)
// needs far less than the platform default, and a terminal may keep hundreds
// of jobs in flight. How it was measured: docs/background-jobs.md.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;

namespace {

void* ThreadMain(void* param) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(param));
    try {
        (*fn)();
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
    // The shared object is linked with -z nodelete, so it stays mapped for
    // as long as this thread runs.
    std::unique_ptr<std::function<void()>> work;
    try {
        work = std::make_unique<std::function<void()>>(std::move(fn));
    } catch (...) {
        return false;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attr, kWorkerStackBytes) == 0 &&
                         pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                         pthread_create(&thread, &attr, &ThreadMain, work.get()) == 0;
    pthread_attr_destroy(&attr);
    if (started) work.release();  // the thread owns it now
    return started;
}

}  // namespace movu::platform
