// Files on Windows: UTF-8 paths, opened by their UTF-16 form.
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace movu::platform {
namespace {

// A NUL would silently shorten the path and open some other file.
bool ToNativePath(const std::string& path, std::wstring& native) {
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    const std::u16string units = Utf8ToUtf16(path);
    native.assign(units.begin(), units.end());
    return true;
}

}  // namespace

void CreateDirectories(const std::string& path) {
    std::wstring native;
    if (ToNativePath(path, native)) SHCreateDirectoryExW(nullptr, native.c_str(), nullptr);
}

std::FILE* OpenFile(const std::string& path, bool forWriting) {
    std::wstring native;
    return ToNativePath(path, native) ? _wfopen(native.c_str(), forWriting ? L"wb" : L"rb") : nullptr;
}

char PathSeparator() { return '\\'; }

}  // namespace movu::platform
