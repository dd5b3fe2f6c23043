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

bool ReadFileOnce(const std::u16string& path, std::size_t maxBytes, std::string& content) {
    content.clear();
    if (!Usable(path)) return false;
    std::FILE* file = _wfopen(Wide(path), L"rb");
    if (!file) return false;
    std::string buffer(maxBytes, '\0');
    std::size_t got = maxBytes ? std::fread(&buffer[0], 1, maxBytes, file) : 0;
    std::fclose(file);
    buffer.resize(got);
    content.swap(buffer);
    return true;
}

bool WriteFileBytes(const std::u16string& path, std::string_view content) {
    if (!Usable(path)) return false;
    std::FILE* file = _wfopen(Wide(path), L"wb");
    if (!file) return false;
    bool written = content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

char16_t PathSeparator() { return u'\\'; }

}  // namespace movu::platform
