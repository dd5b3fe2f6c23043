#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace movu::platform {

std::int64_t NowUnixSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
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
