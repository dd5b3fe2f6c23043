// Files on POSIX, opened by their UTF-8 path.
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
bool Usable(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

}  // namespace

void CreateDirectories(const std::string& path) {
    if (!Usable(path)) return;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path), ignored);
}

std::FILE* OpenFile(const std::string& path, bool forWriting) {
    if (!Usable(path)) return nullptr;
    return std::fopen(path.c_str(), forWriting ? kWriteMode : kReadMode);
}

char PathSeparator() { return '/'; }

}  // namespace movu::platform
