// Storage for the process-wide records (locks, settings, token, job table).
//
// They are destroyed only when the library itself is unloaded (Windows: no
// worker can be running then, because each holds a reference on the module).
// At process exit they are left standing: on Windows the other threads were
// stopped wherever they stood, perhaps holding a lock or inside the heap; on
// POSIX, where the library is never unloaded, detached workers may still be
// inside a request while exit() runs the destructors.
#pragma once

#include <new>
#include <utility>

#include "platform/platform.h"

namespace movu {

template <class T>
class LibraryLifetime {
public:
    template <class... Args>
    explicit LibraryLifetime(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    ~LibraryLifetime() {
        if (platform::RecordsMayBeDestroyed()) get().~T();
    }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace movu
