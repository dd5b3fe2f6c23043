// Files on POSIX: paths arrive as UTF-16 and are opened by their UTF-8 form.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace movu::platform {
namespace {

// Close-on-exec where the C library offers it, so a program the library
// starts never inherits a half-written cache file.
#if defined(__GLIBC__)
constexpr char kReadMode[] = "rbe";
constexpr char kWriteMode[] = "wbe";
#else
constexpr char kReadMode[] = "rb";
constexpr char kWriteMode[] = "wb";
#endif

// A NUL would silently shorten the path and open some other file.
bool ToNativePath(const std::u16string& path, std::string& native) {
    native = Utf16ToUtf8(path);
    return !native.empty() && native.find('\0') == std::string::npos;
}

}  // namespace

void CreateDirectories(const std::u16string& path) {
    std::string native;
    if (!ToNativePath(path, native)) return;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(native), ignored);
}

std::FILE* OpenFile(const std::u16string& path, bool forWriting) {
    std::string native;
    if (!ToNativePath(path, native)) return nullptr;
    return std::fopen(native.c_str(), forWriting ? kWriteMode : kReadMode);
}

char16_t PathSeparator() { return u'/'; }

}  // namespace movu::platform
