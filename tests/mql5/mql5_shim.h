// The MQL5 built-ins the kit's includes call, in C++, so their logic compiles
// and runs here. Each imitates its documented MQL5 behaviour (docs.mql4.com)
// as far as the kit calls it. mql_to_cpp.py rewrites the syntax C++ lacks.
#pragma once

#include <algorithm>
#include <cmath>
#include <codecvt>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <locale>
#include <string>
#include <vector>

typedef unsigned char uchar;
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned long ulong;  // 64-bit, as in MQL5
typedef long datetime;        // seconds since 1970
#define WHOLE_ARRAY (-1)
#define CP_UTF8 65001
#define LONG_MIN (-9223372036854775807L - 1)
#define INVALID_HANDLE (-1)

// CP_UTF8 conversions; malformed input becomes U+FFFD as with MultiByteToWideChar.
using MqlUtf = std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t>;
inline std::u16string Widen(const std::string& s) { return MqlUtf("\xEF\xBF\xBD", u"\uFFFD").from_bytes(s); }

// string: UTF-16 code units, as MQL5 strings are.
struct string : std::u16string {
    string() = default;
    string(const char* s) : std::u16string(Widen(s)) {}
    string(std::u16string s) : std::u16string(std::move(s)) {}
    std::string utf8() const { return MqlUtf("\xEF\xBF\xBD", u"\uFFFD").to_bytes(*this); }
    friend string operator+(const string& a, const string& b) { return std::u16string(a).append(b); }
    friend bool operator==(const string& a, const string& b) { return a.compare(b) == 0; }
    friend bool operator!=(const string& a, const string& b) { return a.compare(b) != 0; }
};

// A dynamic array. An index out of range stops an MQL5 program; here it throws.
template <class T>
struct MqlArray : std::vector<T> {
    T& operator[](long i) { return this->at(static_cast<size_t>(i)); }
    const T& operator[](long i) const { return this->at(static_cast<size_t>(i)); }
};
#define ArraySize(a) static_cast<int>((a).size())
template <class T>  // the new size, or -1 with the array unchanged
int ArrayResize(MqlArray<T>& a, int n, int reserve = 0) {
    return n < 0 ? -1 : (a.reserve(n + std::max(reserve, 0)), a.resize(n), n);
}
#define StringLen(s) static_cast<int>((s).size())
inline ushort StringGetCharacter(const string& s, int i) { return i >= 0 && i < StringLen(s) ? s[i] : 0; }
inline string StringSubstr(const string& s, int start, int length = -1) {
    return start < 0 || start >= StringLen(s) ? string() : string(s.substr(start, length < 0 ? s.npos : length));
}
inline int StringFind(const string& s, const string& what) { return static_cast<int>(s.find(what)); }  // npos: -1
inline int StringReplace(string& s, const string& find, const string& by) {
    int count = 0;
    for (size_t p = 0; (p = s.find(find, p)) != s.npos; p += by.size(), ++count) s.replace(p, find.size(), by);
    return count;
}
// Trimming removes spaces, tabs and line breaks; the number removed.
inline int Cut(string& s, size_t at, size_t n) { return s.erase(at, n), static_cast<int>(n); }
inline int StringTrimLeft(string& s) { return Cut(s, 0, std::min(s.find_first_not_of(u" \t\r\n"), s.size())); }
inline int StringTrimRight(string& s) {
    size_t keep = s.find_last_not_of(u" \t\r\n") + 1;  // none: npos + 1 == 0
    return Cut(s, keep, s.size() - keep);
}
inline bool StringToLower(string& s) {
    for (auto& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c;
    return true;
}
inline string ShortToString(ushort c) { return c ? string(std::u16string(1, static_cast<char16_t>(c))) : string(); }
inline string IntegerToString(long v) { return std::to_string(v).c_str(); }

// Text -> array from index 0: every unit (or UTF-8 byte) and a zero; the array
// grows, never shrinks. Array -> text: from start up to count, the end or a zero.
template <class T, class S>
int CopyIn(const S& s, MqlArray<T>& a) {
    if (a.size() <= s.size()) a.resize(s.size() + 1);
    std::copy(s.begin(), s.end(), a.begin());
    a[s.size()] = 0;
    return static_cast<int>(s.size()) + 1;
}
template <class C, class T>
std::basic_string<C> CopyOut(const MqlArray<T>& a, size_t start, size_t count) {
    std::basic_string<C> out(a.begin() + start, a.begin() + start + std::min(a.size() - start, count));
    return out.substr(0, out.find(C()));
}
inline int StringToShortArray(const string& s, MqlArray<ushort>& a) { return CopyIn(s, a); }
inline int StringToCharArray(const string& s, MqlArray<uchar>& a, int, int, uint) { return CopyIn(s.utf8(), a); }
inline string ShortArrayToString(const MqlArray<ushort>& a, int at, int n) { return CopyOut<char16_t>(a, at, n); }
inline string CharArrayToString(const MqlArray<uchar>& a, int at, int n, uint) {
    return Widen(CopyOut<char>(a, at, n));
}

// StringFormat and Print, with the number and literal arguments the kit gives.
template <class... A>
string StringFormat(const char* format, A... a) {
    char out[256];
    std::snprintf(out, sizeof out, format, a...);
    return out;
}
template <class... A>
void Print(const A&... a) {
    (std::fputs(a, stderr), ...), std::fputc('\n', stderr);
}
#define MathPow std::pow
#define MathRound std::round  // half away from zero
#define MathIsValidNumber std::isfinite

// The terminal's clocks and state, set by the tests.
struct MqlTerminal {
    ulong ticks = 1000000;         // GetTickCount64
    datetime gmt = 0, server = 0;  // TimeGMT, TimeTradeServer
    datetime current = 0;          // TimeCurrent
    bool tester = false;           // MQLInfoInteger(MQL_TESTER)
    long login = 0;                // 0 until the terminal has connected
    std::string files, common;     // MQL5\Files and Common\Files
};
inline MqlTerminal terminal;
inline ulong GetTickCount64() { return terminal.ticks; }
// In the Strategy Tester TimeGMT and TimeTradeServer are the simulated TimeCurrent.
inline datetime TimeGMT() { return terminal.tester ? terminal.current : terminal.gmt; }
inline datetime TimeTradeServer() { return terminal.tester ? terminal.current : terminal.server; }
inline datetime TimeCurrent() { return terminal.current; }
enum { MQL_TESTER = 1, MQL_DLLS_ALLOWED, TERMINAL_DATA_PATH, TERMINAL_DLLS_ALLOWED };
enum { ACCOUNT_LOGIN = 10, ACCOUNT_COMPANY, ACCOUNT_SERVER };
inline long MQLInfoInteger(int what) { return what == MQL_TESTER ? terminal.tester : 1; }
inline long TerminalInfoInteger(int) { return 1; }
inline long AccountInfoInteger(int) { return terminal.login; }
inline string AccountInfoString(int what) { return what == ACCOUNT_COMPANY ? "Broker Ltd" : "Broker-Demo"; }
inline string TerminalInfoString(int) { return "C:\\terminal"; }

struct MqlDateTime {
    int year, mon, day, hour, min, sec, day_of_week, day_of_year;
};
inline bool TimeToStruct(datetime t, MqlDateTime& out) {
    std::tm u{};
    gmtime_r(&t, &u);
    out = {u.tm_year + 1900, u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, u.tm_wday, u.tm_yday};
    return true;
}

// Files: names under MQL5\Files, or Common\Files with FILE_COMMON. With
// FILE_WRITE the file is created when missing; FileReadString reads a line.
enum { FILE_READ = 1, FILE_WRITE = 2, FILE_TXT = 16, FILE_ANSI = 32, FILE_SHARE_READ = 128, FILE_COMMON = 4096 };
inline std::vector<std::fstream> files;  // by handle
inline int FileOpen(const string& name, int flags, short, uint) {
    std::string folder = flags & FILE_COMMON ? terminal.common : terminal.files;
    if (flags & FILE_WRITE) std::filesystem::create_directories(folder);
    auto mode = flags & FILE_WRITE ? std::ios::in | std::ios::out | std::ios::app : std::ios::in;
    return files.emplace_back(folder + "/" + name.utf8(), mode).is_open() ? ArraySize(files) - 1 : INVALID_HANDLE;
}
inline bool FileSeek(int h, long at, int) { return !!files.at(h).seekp(at, std::ios::end); }  // SEEK_END only
inline uint FileWriteString(int h, const string& s) { return files.at(h) << s.utf8() ? s.utf8().size() : 0; }
inline string FileReadString(int h) {
    std::string line;
    std::getline(files.at(h), line);
    return Widen(line.substr(0, line.find('\r')));
}
inline bool FileIsEnding(int h) { return files.at(h).peek() == std::char_traits<char>::eof(); }
inline void FileClose(int h) { files.at(h).close(); }
