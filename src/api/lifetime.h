// Storage for the process-wide records (locks, settings, token, job table).
//
// On Windows they die with the library at unload; no worker can be running
// then, because each holds a reference on the module. Elsewhere the library is
// never unloaded, and at exit() detached workers may still be inside a
// request, so the records are left standing rather than destroyed under them.
#pragma once

#include <new>
#include <utility>

namespace movu {

template <class T>
class LibraryLifetime {
public:
    template <class... Args>
    explicit LibraryLifetime(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    ~LibraryLifetime() {
#ifdef _WIN32
        get().~T();
#endif
    }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace movu
