#include <ctime>
#include <thread>

#include "platform/platform.h"

namespace movu::platform {

std::int64_t NowUnixSeconds() {
    // Whole seconds are all a token's expiry needs; time() reads the kernel's
    // coarse clock without the cost of the fine one on every warm request.
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool StartDetachedThread(std::function<void()> fn) {
    // The shared object is linked with -z nodelete, so it stays mapped for
    // as long as this thread runs.
    try {
        std::thread(std::move(fn)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace movu::platform
