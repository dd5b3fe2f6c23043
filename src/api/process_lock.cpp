#include "api/process_lock.h"

namespace movu {

std::mutex& ProcessLock() {
    // A function-local static is created exactly once, even when two threads
    // make their first call together; it dies with the library.
    static std::mutex lock;
    return lock;
}

}  // namespace movu
