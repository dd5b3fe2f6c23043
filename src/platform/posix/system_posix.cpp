#include <openssl/crypto.h>
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

// The shared object is never unloaded, so its static destructors run only at
// exit(), while detached workers may still be inside a request.
bool RecordsMayBeDestroyed() { return false; }

namespace {

// OpenSSL frees its own state from an exit handler, which it registers the
// first time it is initialised unless told not to; at exit() detached workers
// may be inside a handshake and would use that state after it is gone. So the
// library initialises it as it is loaded, before anything else of it runs,
// without the handler: the state goes with the process. Neither libcurl's
// nor OpenSSL's global cleanup is ever called. (A host that initialised
// OpenSSL itself before loading the library has chosen for itself.)
__attribute__((constructor)) void KeepTlsStateToTheEnd() { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

}  // namespace

}  // namespace movu::platform
