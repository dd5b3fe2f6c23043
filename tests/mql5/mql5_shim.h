// The MQL5 built-ins the kit's includes use, in C++, so their logic compiles
// and runs here. Each one imitates the documented MQL5 behaviour named beside
// it (MQL5/MQL4 reference, docs.mql4.com, sections "MQL5 features" and the
// function pages). Only what the includes call is here.
//
// MQL5 syntax C++ lacks is rewritten by mql_to_cpp.py before compiling:
// dynamic arrays ("T name[]", "T &name[]") become MqlArray<T>, and the
// #import block is dropped (the tests define those functions themselves).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

typedef unsigned char uchar;
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned long ulong;  // 64-bit on the Linux targets, as in MQL5
typedef long datetime;        // seconds since 1970 (MQL5 "datetime": 8 bytes)

#define WHOLE_ARRAY (-1)
#define CP_UTF8 65001
#define LONG_MAX 9223372036854775807L
#define LONG_MIN (-LONG_MAX - 1)
#define INVALID_HANDLE (-1)

namespace mql5 {
std::u16string Widen(const std::string& utf8);
std::string Narrow(const std::u16string& utf16);
}  // namespace mql5

// string: UTF-16 code units, as MQL5 strings are.
class string {
public:
    string() = default;
    string(const char* s) : s_(mql5::Widen(s)) {}
    string(const std::u16string& s) : s_(s) {}
    string& operator+=(const string& o) {
        s_ += o.s_;
        return *this;
    }
    friend string operator+(const string& a, const string& b) { return string(a.s_ + b.s_); }
    friend bool operator==(const string& a, const string& b) { return a.s_ == b.s_; }
    friend bool operator!=(const string& a, const string& b) { return a.s_ != b.s_; }
    std::u16string& units() { return s_; }
    const std::u16string& units() const { return s_; }
    std::string utf8() const { return mql5::Narrow(s_); }

private:
    std::u16string s_;
};

// A dynamic array ("T name[]"). An index out of range is a critical runtime
// error that stops an MQL5 program; here it throws so the test fails.
template <class T>
class MqlArray {
public:
    T& operator[](long i) { return v_.at(static_cast<size_t>(i)); }
    const T& operator[](long i) const { return v_.at(static_cast<size_t>(i)); }
    std::vector<T>& items() { return v_; }
    const std::vector<T>& items() const { return v_; }

private:
    std::vector<T> v_;
};

// ArraySize: number of elements. ArrayResize: the new size, or -1 with the
// array unchanged; the reserve only saves reallocations (docs.mql4.com/array/arrayresize).
template <class T>
int ArraySize(const MqlArray<T>& a) {
    return static_cast<int>(a.items().size());
}
template <class T>
int ArrayResize(MqlArray<T>& a, int n, int reserve = 0) {
    if (n < 0) return -1;
    a.items().reserve(static_cast<size_t>(n) + static_cast<size_t>(reserve > 0 ? reserve : 0));
    a.items().resize(static_cast<size_t>(n));
    return n;
}

// Strings (docs.mql4.com/strings).
// StringLen: code units. StringGetCharacter: the unit at a position, 0 outside.
inline int StringLen(const string& s) { return static_cast<int>(s.units().size()); }
inline ushort StringGetCharacter(const string& s, int i) {
    return i >= 0 && i < StringLen(s) ? s.units()[static_cast<size_t>(i)] : 0;
}
// StringSubstr: from start, length -1 to the end; "" when start is outside.
inline string StringSubstr(const string& s, int start, int length = -1) {
    if (start < 0 || start >= StringLen(s)) return string();
    return string(
        s.units().substr(static_cast<size_t>(start), length < 0 ? std::u16string::npos : static_cast<size_t>(length)));
}
// StringFind: the position of the first match from start, -1 when none.
inline int StringFind(const string& s, const string& what, int start = 0) {
    size_t p = s.units().find(what.units(), static_cast<size_t>(start < 0 ? 0 : start));
    return p == std::u16string::npos ? -1 : static_cast<int>(p);
}
// StringReplace: every match replaced in place; the number replaced.
inline int StringReplace(string& s, const string& find, const string& by) {
    if (find.units().empty()) return -1;
    int count = 0;
    for (size_t p = 0; (p = s.units().find(find.units(), p)) != std::u16string::npos; p += by.units().size(), ++count)
        s.units().replace(p, find.units().size(), by.units());
    return count;
}
// StringTrimLeft/Right: removes line feeds, spaces and tabs in place; the number removed.
inline bool IsMqlBlank(char16_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline int StringTrimLeft(string& s) {
    size_t n = 0;
    while (n < s.units().size() && IsMqlBlank(s.units()[n])) ++n;
    s.units().erase(0, n);
    return static_cast<int>(n);
}
inline int StringTrimRight(string& s) {
    size_t n = 0;
    while (n < s.units().size() && IsMqlBlank(s.units()[s.units().size() - 1 - n])) ++n;
    s.units().resize(s.units().size() - n);
    return static_cast<int>(n);
}
// StringToLower: in place (ASCII is all the kit compares).
inline bool StringToLower(string& s) {
    for (auto& c : s.units())
        if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c + 32);
    return true;
}
// ShortToString: a string of one unit ("" for 0).
inline string ShortToString(ushort c) { return c ? string(std::u16string(1, static_cast<char16_t>(c))) : string(); }
inline string IntegerToString(long v) { return string(std::to_string(v).c_str()); }

// StringToShortArray: copies the units and the terminating zero, growing a
// dynamic array as needed; the number copied (docs.mql4.com/convert/stringtoshortarray).
inline int StringToShortArray(const string& s, MqlArray<ushort>& a, int start = 0, int count = -1) {
    size_t n = s.units().size() + 1;
    if (count >= 0 && static_cast<size_t>(count) < n) n = static_cast<size_t>(count);
    if (a.items().size() < start + n) a.items().resize(start + n);
    for (size_t i = 0; i < n; ++i) a.items()[start + i] = i < s.units().size() ? s.units()[i] : 0;
    return static_cast<int>(n);
}
// ShortArrayToString: units from start, count of them (-1: to the end or a zero).
inline string ShortArrayToString(const MqlArray<ushort>& a, int start = 0, int count = -1) {
    std::u16string out;
    for (size_t i = static_cast<size_t>(start);
         i < a.items().size() && (count < 0 || out.size() < static_cast<size_t>(count)); ++i) {
        if (a.items()[i] == 0) break;
        out += static_cast<char16_t>(a.items()[i]);
    }
    return string(out);
}
// StringToCharArray: the text converted to the code page, with the terminating
// zero, the dynamic array grown and never shrunk; the number copied
// (docs.mql4.com/convert/stringtochararray). Only CP_UTF8 is used by the kit.
inline int StringToCharArray(const string& s, MqlArray<uchar>& a, int start = 0, int count = -1, uint = CP_UTF8) {
    std::string bytes = s.utf8();
    size_t n = bytes.size() + 1;
    if (count >= 0 && static_cast<size_t>(count) < n) n = static_cast<size_t>(count);
    if (a.items().size() < start + n) a.items().resize(start + n);
    for (size_t i = 0; i < n; ++i) a.items()[start + i] = i < bytes.size() ? static_cast<uchar>(bytes[i]) : 0;
    return static_cast<int>(n);
}
// CharArrayToString: bytes from start up to count, the array end or a zero,
// decoded from the code page (docs.mql4.com/convert/chararraytostring).
inline string CharArrayToString(const MqlArray<uchar>& a, int start = 0, int count = -1, uint = CP_UTF8) {
    std::string bytes;
    for (size_t i = static_cast<size_t>(start);
         i < a.items().size() && (count < 0 || bytes.size() < static_cast<size_t>(count)); ++i) {
        if (a.items()[i] == 0) break;
        bytes += static_cast<char>(a.items()[i]);
    }
    return string(mql5::Widen(bytes));
}

// StringFormat/PrintFormat: printf formats; a string argument goes to %s.
namespace mql5 {
template <class T>
auto Arg(const T& v) {
    if constexpr (std::is_same_v<T, string>)
        return v.utf8();
    else
        return v;
}
template <class T>
auto CArg(const T& v) {
    if constexpr (std::is_same_v<T, std::string>)
        return v.c_str();
    else
        return v;
}
template <class... A>
std::string Format(const char* format, const A&... a) {
    std::string f = string(format).utf8();
    auto held = std::make_tuple(Arg(a)...);
    return std::apply(
        [&](const auto&... v) {
            int n = std::snprintf(nullptr, 0, f.c_str(), CArg(v)...);
            std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
            std::snprintf(out.data(), out.size() + 1, f.c_str(), CArg(v)...);
            return out;
        },
        held);
}
extern std::vector<std::string> journal;  // what Print wrote, for the tests
}  // namespace mql5
template <class... A>
string StringFormat(const char* format, const A&... a) {
    return string(mql5::Format(format, a...).c_str());
}

// Math: MathPow is pow; MathRound rounds half away from zero.
inline double MathPow(double b, double e) { return std::pow(b, e); }
inline double MathRound(double v) { return std::round(v); }
// MathIsValidNumber: false for infinities and NaN.
inline bool MathIsValidNumber(double v) { return std::isfinite(v); }

// The terminal's clocks and state, set by the tests.
namespace mql5 {
struct Terminal {
    ulong ticks = 1000000;  // GetTickCount64
    datetime gmt = 0;       // TimeGMT
    datetime server = 0;    // TimeTradeServer
    datetime current = 0;   // TimeCurrent
    bool tester = false;    // MQLInfoInteger(MQL_TESTER)
    long login = 0;         // AccountInfoInteger(ACCOUNT_LOGIN): 0 until connected
    std::string company, server_name;
    std::string files, common;  // MQL5\Files and Common\Files
};
extern Terminal terminal;
}  // namespace mql5

// GetTickCount64: milliseconds since the system started, never wrapping.
inline ulong GetTickCount64() { return mql5::terminal.ticks; }
// TimeGMT: computed from the local clock; in the Strategy Tester it equals the
// simulated TimeCurrent() (docs.mql4.com/dateandtime/timegmt).
inline datetime TimeGMT() { return mql5::terminal.tester ? mql5::terminal.current : mql5::terminal.gmt; }
inline datetime TimeTradeServer() { return mql5::terminal.tester ? mql5::terminal.current : mql5::terminal.server; }
inline datetime TimeCurrent() { return mql5::terminal.current; }

enum { MQL_TESTER = 1, MQL_DLLS_ALLOWED = 2 };
inline long MQLInfoInteger(int what) { return what == MQL_TESTER ? mql5::terminal.tester : 1; }
enum { ACCOUNT_LOGIN = 1, ACCOUNT_COMPANY = 2, ACCOUNT_SERVER = 3 };
inline long AccountInfoInteger(int) { return mql5::terminal.login; }
inline string AccountInfoString(int what) {
    return string((what == ACCOUNT_COMPANY ? mql5::terminal.company : mql5::terminal.server_name).c_str());
}
enum { TERMINAL_DATA_PATH = 1, TERMINAL_DLLS_ALLOWED = 2 };
inline string TerminalInfoString(int) { return string("C:\\terminal"); }
inline long TerminalInfoInteger(int) { return 1; }

// Print: its arguments one after another, as one journal line.
template <class... A>
void Print(const A&... a) {
    std::ostringstream line;
    ((line << mql5::Arg(a)), ...);
    mql5::journal.push_back(line.str());
}
template <class... A>
void PrintFormat(const char* format, const A&... a) {
    mql5::journal.push_back(mql5::Format(format, a...));
}

// MqlDateTime and TimeToStruct: the calendar fields of a datetime (UTC).
struct MqlDateTime {
    int year, mon, day, hour, min, sec, day_of_week, day_of_year;
};
bool TimeToStruct(datetime t, MqlDateTime& out);

// Files (docs.mql4.com/files/fileopen): names are relative to the sandbox,
// MQL5\Files, or the common folder with FILE_COMMON. FILE_TXT reads and writes
// text lines; FileReadString reads one line without its line break.
enum {
    FILE_READ = 1,
    FILE_WRITE = 2,
    FILE_BIN = 4,
    FILE_CSV = 8,
    FILE_TXT = 16,
    FILE_ANSI = 32,
    FILE_UNICODE = 64,
    FILE_SHARE_READ = 128,
    FILE_SHARE_WRITE = 256,
    FILE_COMMON = 4096
};
enum { SEEK_SET_MQL = 0, SEEK_CUR_MQL = 1 };
#ifndef SEEK_END
#define SEEK_END 2
#endif
int FileOpen(const string& name, int flags, short delimiter = ';', uint codepage = 0);
bool FileSeek(int handle, long offset, int origin);
uint FileWriteString(int handle, const string& text, int length = -1);
string FileReadString(int handle, int length = -1);
bool FileIsEnding(int handle);
void FileClose(int handle);
