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

bool ReadFileOnce(const std::u16string& path, std::size_t maxBytes, std::string& content) {
    content.clear();
    std::string native;
    if (!ToNativePath(path, native)) return false;
    std::FILE* file = std::fopen(native.c_str(), kReadMode);
    if (!file) return false;
    std::string buffer(maxBytes, '\0');
    std::size_t got = maxBytes ? std::fread(&buffer[0], 1, maxBytes, file) : 0;
    std::fclose(file);
    buffer.resize(got);
    content.swap(buffer);
    return true;
}

bool WriteFileBytes(const std::u16string& path, std::string_view content) {
    std::string native;
    if (!ToNativePath(path, native)) return false;
    std::FILE* file = std::fopen(native.c_str(), kWriteMode);
    if (!file) return false;
    bool written = content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

char16_t PathSeparator() { return u'/'; }

}  // namespace movu::platform
