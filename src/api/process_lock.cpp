#include "api/process_lock.h"

#include "api/lifetime.h"

namespace movu {

std::mutex& ProcessLock() {
    // A function-local static is created exactly once, even when two threads
    // make their first call together; it dies with the library.
    static LibraryLifetime<std::mutex> lock;
    return lock.get();
}

}  // namespace movu
