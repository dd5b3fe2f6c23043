#include "mql5_shim.h"

#include <codecvt>
#include <filesystem>
#include <locale>
#include <memory>

namespace mql5 {
Terminal terminal;
std::vector<std::string> journal;

// UTF-8 <-> UTF-16 as the terminal converts with CP_UTF8; malformed input
// becomes U+FFFD as MultiByteToWideChar does.
std::u16string Widen(const std::string& utf8) {
    std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> convert("\xEF\xBF\xBD", u"\uFFFD");
    return convert.from_bytes(utf8);
}
std::string Narrow(const std::u16string& utf16) {
    std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> convert("\xEF\xBF\xBD", u"\uFFFD");
    return convert.to_bytes(utf16);
}
}  // namespace mql5

bool TimeToStruct(datetime t, MqlDateTime& out) {
    long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    long secs = t - days * 86400;
    // civil_from_days (Howard Hinnant)
    long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    long doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.mon = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (out.mon <= 2));
    out.hour = static_cast<int>(secs / 3600);
    out.min = static_cast<int>(secs / 60 % 60);
    out.sec = static_cast<int>(secs % 60);
    out.day_of_week = static_cast<int>((days % 7 + 11) % 7);
    out.day_of_year = 0;
    return true;
}

namespace {
std::map<int, std::unique_ptr<std::fstream>> files;
int next_handle = 1;
}  // namespace

int FileOpen(const string& name, int flags, short, uint) {
    std::string folder = flags & FILE_COMMON ? mql5::terminal.common : mql5::terminal.files;
    std::string path = folder + "/" + name.utf8();
    std::ios::openmode mode = std::ios::binary;
    if (flags & FILE_READ) mode |= std::ios::in;
    if (flags & FILE_WRITE) {
        mode |= std::ios::out;
        std::filesystem::create_directories(folder);
        if ((flags & FILE_READ) && !std::filesystem::exists(path)) std::ofstream(path).close();
    }
    auto f = std::make_unique<std::fstream>(path, mode);
    if (!f->is_open()) return INVALID_HANDLE;
    files[next_handle] = std::move(f);
    return next_handle++;
}

bool FileSeek(int handle, long offset, int origin) {
    auto& f = *files.at(handle);
    f.seekp(offset, origin == SEEK_END ? std::ios::end : std::ios::beg);
    return static_cast<bool>(f);
}

uint FileWriteString(int handle, const string& text, int) {
    std::string bytes = text.utf8();
    files.at(handle)->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<uint>(bytes.size());
}

string FileReadString(int handle, int) {
    std::string line;
    std::getline(*files.at(handle), line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return string(mql5::Widen(line));
}

bool FileIsEnding(int handle) {
    auto& f = *files.at(handle);
    return f.peek() == std::char_traits<char>::eof();
}

void FileClose(int handle) { files.erase(handle); }
