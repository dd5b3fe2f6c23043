#include <windows.h>

#include <atomic>
#include <memory>

#include "platform/platform.h"

namespace movu::platform {

std::int64_t NowUnixSeconds() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return static_cast<std::int64_t>((t.QuadPart - 116444736000000000ULL) / 10000000ULL);
}

namespace {

// Set by DllMain: on load, and before the C++ runtime runs the library's exit
// table at process exit.
std::atomic<bool> loadedAsDll{false}, processExiting{false};

// A worker keeps the library mapped with a reference of its own, taken before
// its thread exists. The reference is given back only once the thread has
// ended, exit callbacks included: the C++ runtime's thread-local objects hold
// references too and give them back from those callbacks, and the library
// must never be unloaded from inside one of its own callbacks (the loader
// hangs). The thread pool gives it back after the release callback returns.
struct Release {
    HANDLE thread = nullptr;
    HMODULE module = nullptr;
};

DWORD WINAPI ThreadMain(LPVOID param) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(param));
    try {
        (*fn)();
    } catch (...) {
    }
    return 0;
}

VOID CALLBACK ReleaseAfterThread(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WAIT wait, TP_WAIT_RESULT) {
    std::unique_ptr<Release> release(static_cast<Release*>(context));
    CloseHandle(release->thread);
    CloseThreadpoolWait(wait);
    FreeLibraryWhenCallbackReturns(instance, release->module);
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain), &module)) {
        return false;
    }
    std::unique_ptr<std::function<void()>> work;
    std::unique_ptr<Release> release;
    try {
        work = std::make_unique<std::function<void()>>(std::move(fn));
        release = std::make_unique<Release>();
    } catch (...) {
        FreeLibrary(module);
        return false;
    }
    release->module = module;
    PTP_WAIT wait = CreateThreadpoolWait(ReleaseAfterThread, release.get(), nullptr);
    if (wait == nullptr) {
        FreeLibrary(module);
        return false;
    }
    // The host's default stack reservation (1 MiB for most programs): on
    // Windows the TLS layer and certificate chain building run on this thread,
    // in depths no test here can measure. Only touched pages are committed.
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, work.get(), 0, nullptr);
    if (thread == nullptr) {
        CloseThreadpoolWait(wait);
        FreeLibrary(module);
        return false;
    }
    work.release();  // the thread owns it now
    release->thread = thread;
    SetThreadpoolWait(wait, thread, nullptr);
    release.release();  // the release callback owns it now
    return true;
}

// At process exit every other thread was ended wherever it stood, perhaps
// holding a lock or inside the heap: nothing may be freed then, the system
// takes the memory back. A FreeLibrary that unmaps the library runs its
// destructors with no worker left (each holds a module reference).
void NoteDllAttach() { loadedAsDll.store(true); }
void NoteProcessExit() { processExiting.store(true); }
bool RecordsMayBeDestroyed() { return loadedAsDll.load() && !processExiting.load(); }

}  // namespace movu::platform
