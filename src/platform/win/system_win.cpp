#include <windows.h>

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

struct ThreadStart {
    std::function<void()> fn;
    HMODULE module;
};

DWORD WINAPI ThreadMain(LPVOID param) {
    HMODULE module;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
        module = start->module;
        try {
            start->fn();
        } catch (...) {
        }
    }
    // Drops the reference taken for this thread; the library may be unmapped
    // only after the thread has left its code.
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&ThreadMain), &module)) {
        return false;
    }
    ThreadStart* start = nullptr;
    try {
        start = new ThreadStart{std::move(fn), module};
    } catch (...) {
        FreeLibrary(module);
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace movu::platform
