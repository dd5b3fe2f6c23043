#include <windows.h>

#include "platform/platform.h"

namespace movu::platform {

std::u16string Utf8ToUtf16(std::string_view in) {
    int n = MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return {};
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    n = MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), reinterpret_cast<wchar_t*>(out.data()),
                            n);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
    const auto* w = reinterpret_cast<const wchar_t*>(in.data());
    int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(in.size()), out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool IsReadable(const void* p, std::size_t n) {
    const auto* start = static_cast<const char*>(p);
    const char* end = start + n;
    for (const char* q = start; q < end;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(q, &info, sizeof info) == 0) return false;
        if (info.State != MEM_COMMIT) return false;
        DWORD protect = info.Protect & 0xFF;
        if ((info.Protect & PAGE_GUARD) || protect == PAGE_NOACCESS || protect == PAGE_EXECUTE) return false;
        q = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

}  // namespace movu::platform
