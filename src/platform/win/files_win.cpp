// Files on Windows, opened by their UTF-16 path.
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace movu::platform {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// A NUL would silently shorten the path and open some other file.
bool Usable(const std::u16string& path) { return !path.empty() && path.find(u'\0') == std::u16string::npos; }

}  // namespace

void CreateDirectories(const std::u16string& path) {
    if (!Usable(path)) return;
    SHCreateDirectoryExW(nullptr, Wide(path), nullptr);
}

std::FILE* OpenFile(const std::u16string& path, bool forWriting) {
    if (!Usable(path)) return nullptr;
    return _wfopen(Wide(path), forWriting ? L"wb" : L"rb");
}

char16_t PathSeparator() { return u'\\'; }

}  // namespace movu::platform
