// The MQL5 built-ins the kit's includes call, in C++, so their logic compiles
// and runs here. Each imitates its documented MQL5 behaviour (docs.mql4.com)
// as far as the kit calls it. mql_to_cpp.py rewrites the syntax C++ lacks.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

typedef unsigned char uchar;
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned long ulong;  // 64-bit, as in MQL5
typedef long datetime;        // seconds since 1970
#define WHOLE_ARRAY (-1)
#define CP_UTF8 65001
#define INVALID_HANDLE (-1)

// Code page conversions as Windows makes them (MultiByteToWideChar and
// WideCharToMultiByte without flags): in UTF-8 each byte outside a
// well-formed sequence becomes U+FFFD, as does a lone surrogate. CP_ACP is
// taken as a Western code page: one byte per character, '?' for the rest.
#define CP_ACP 0
inline std::u16string Widen(const std::string& s, uint codepage = CP_UTF8) {
    std::u16string out;
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0, n = s.size(); i < n;) {
        unsigned c = b[i], need = codepage != CP_UTF8 || c < 0x80 ? 0
                                  : c < 0xC2                      ? 9
                                  : c < 0xE0                      ? 1
                                  : c < 0xF0                      ? 2
                                  : c < 0xF5                      ? 3
                                                                  : 9;
        unsigned cp = need ? c & (0x3F >> need) : c, j = 1;
        for (; need < 9 && j <= need && i + j < n && (b[i + j] & 0xC0) == 0x80; ++j) cp = cp << 6 | (b[i + j] & 0x3F);
        static const unsigned least[] = {0, 0x80, 0x800, 0x10000};
        if (need == 9 || j <= need || cp < least[need] || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
            out += u'\uFFFD', ++i;
            continue;
        }
        if (cp >= 0x10000) out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)), cp = 0xDC00 + (cp & 0x3FF);
        out += static_cast<char16_t>(cp), i += j;
    }
    return out;
}
inline std::string Narrow(const std::u16string& s, uint codepage = CP_UTF8) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned c = s[i];
        if (codepage != CP_UTF8) {
            out += c < 0x100 ? static_cast<char>(c) : '?';
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(extra ? 0xFF00 >> (extra + 1) | c >> 6 * extra : c);
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | (c >> 6 * k & 0x3F));
    }
    return out;
}

// string: UTF-16 code units, as MQL5 strings are.
struct string : std::u16string {
    string() = default;
    string(const char* s) : std::u16string(Widen(s)) {}
    string(const std::string& s) : std::u16string(Widen(s)) {}
    string(std::u16string s) : std::u16string(std::move(s)) {}
    std::string utf8() const { return Narrow(*this); }
    string& operator+=(const string& b) { return append(b), *this; }
    friend string operator+(const string& a, const string& b) { return std::u16string(a).append(b); }
    friend bool operator==(const string& a, const string& b) { return a.compare(b) == 0; }
    friend bool operator!=(const string& a, const string& b) { return a.compare(b) != 0; }
};

// A dynamic array. An index out of range stops an MQL5 program; here it throws.
template <class T>
struct MqlArray : std::vector<T> {
    decltype(auto) operator[](long i) { return this->at(static_cast<size_t>(i)); }
    decltype(auto) operator[](long i) const { return this->at(static_cast<size_t>(i)); }
};
#define ArraySize(a) static_cast<int>(std::size(a))
// Memory is taken anew only when the new size passes what the array holds,
// and then the new size plus the reserve asked for, as in MQL5.
template <class T>  // the new size, or -1 with the array unchanged
int ArrayResize(MqlArray<T>& a, int n, int reserve = 0) {
    if (n < 0) return -1;
    if (static_cast<size_t>(n) > a.capacity()) a.reserve(static_cast<size_t>(n) + std::max(reserve, 0));
    a.resize(n);
    return n;
}
template <class T>
bool ArraySwap(MqlArray<T>& a, MqlArray<T>& b) {
    a.swap(b);
    return true;
}
template <class A, class V>
int ArrayInitialize(A& a, V value) {
    std::fill(std::begin(a), std::end(a), value);
    return ArraySize(a);
}
template <class T>
void ZeroMemory(T& v) {
    v = T{};
}
#define StringLen(s) static_cast<int>((s).size())
inline ushort StringGetCharacter(const string& s, int i) { return i >= 0 && i < StringLen(s) ? s[i] : 0; }
inline string StringSubstr(const string& s, int start, int length = -1) {
    return start < 0 || start >= StringLen(s) ? string() : string(s.substr(start, length < 0 ? s.npos : length));
}
inline int StringFind(const string& s, const string& what, int start = 0) {  // -1: not found
    return start < 0 || start > StringLen(s) ? -1 : static_cast<int>(s.find(what, start));
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
// Leading white space and a sign, then digits; 0 when there are none.
inline long StringToInteger(const string& s) { return std::strtol(s.utf8().c_str(), nullptr, 10); }
// 0..16: digits after the point; -1..-16: scientific with that many.
inline string DoubleToString(double v, int digits = 8) {
    char out[64];
    std::snprintf(out, sizeof out, digits < 0 ? "%.*e" : "%.*f", std::abs(digits), v);
    return out;
}

// Text -> array: the units (or bytes in the code page) and a zero, from
// the array's start, which grows to hold them and never shrinks (the kit
// converts whole texts only). Array -> text: from start, count units (-1: to
// the end), cut at a zero, never beyond the array.
template <class T, class S>
int CopyIn(const S& s, MqlArray<T>& a) {
    if (a.size() < s.size() + 1) ArrayResize(a, static_cast<int>(s.size() + 1));
    std::copy(s.begin(), s.end(), a.begin());
    a[s.size()] = 0;
    return static_cast<int>(s.size() + 1);
}
template <class C, class T>
std::basic_string<C> CopyOut(const MqlArray<T>& a, int start, int count) {
    if (start < 0 || static_cast<size_t>(start) >= a.size()) return {};
    size_t n = a.size() - start;
    if (count >= 0) n = std::min(n, static_cast<size_t>(count));
    std::basic_string<C> out(a.begin() + start, a.begin() + start + n);
    return out.substr(0, out.find(C()));
}
inline int StringToShortArray(const string& s, MqlArray<ushort>& a) { return CopyIn(s, a); }
inline int StringToCharArray(const string& s, MqlArray<uchar>& a, int start, int count, uint codepage) {
    return start == 0 && count == WHOLE_ARRAY ? CopyIn(Narrow(s, codepage), a) : throw std::logic_error("not shimmed");
}
inline string ShortArrayToString(const MqlArray<ushort>& a, int start = 0, int count = -1) {
    return CopyOut<char16_t>(a, start, count);
}
inline string CharArrayToString(const MqlArray<uchar>& a, int start = 0, int count = -1, uint codepage = CP_ACP) {
    return Widen(CopyOut<char>(a, start, count), codepage);
}

// StringFormat with numbers and texts, as long as it takes; Print
// writes its arguments, texts and numbers, to the journal (stderr), and
// journal keeps the lines for tests that count them.
// A text argument goes to %s as UTF-8, kept until the whole call is done.
inline const char* FormatArg(const string& s, std::string&& keep = std::string()) { return (keep = s.utf8()).c_str(); }
template <class N>
N FormatArg(N n) {
    return n;
}
template <class... A>
string StringFormat(const char* format, A... a) {
    int n = std::max(std::snprintf(nullptr, 0, format, FormatArg(a)...), 0);
    std::string out(n + 1, '\0');
    std::snprintf(out.data(), out.size(), format, FormatArg(a)...);
    out.resize(n);
    return out.c_str();
}
inline std::mutex journal_lock;
inline std::vector<std::string> journal;
inline std::string PrintText(const string& s) { return s.utf8(); }
inline std::string PrintText(const char* s) { return s; }
template <class N>
std::string PrintText(N n) {
    std::ostringstream out;
    out << n;
    return out.str();
}
template <class... A>
void Print(const A&... a) {
    std::string line = (PrintText(a) + ... + std::string());
    std::fprintf(stderr, "%s\n", line.c_str());
    std::lock_guard<std::mutex> hold(journal_lock);
    journal.push_back(line);
}
#define MathPow std::pow
#define MathRound std::round  // half away from zero
#define MathIsValidNumber std::isfinite
#define MathAbs std::fabs
template <class A, class B>
auto MathMax(A a, B b) {
    return a > b ? a : b;
}

// The terminal's clocks and state, set by the tests. The switches: "DLLs
// allowed" (the terminal's and the program's), "in the tester".
struct MqlTerminal {
    ulong ticks = 1000000;         // GetTickCount64
    datetime gmt = 0, server = 0;  // TimeGMT, TimeTradeServer
    datetime current = 0;          // TimeCurrent
    bool tester = false;           // MQLInfoInteger(MQL_TESTER)
    long login = 0;                // 0 until the terminal has connected
    std::string files, common;     // MQL5\Files and Common\Files
    std::string agent;             // MQL5\Files of the tester agent running the test
    bool dlls = true;              // DLL imports allowed
};
inline MqlTerminal terminal;
inline std::atomic<ulong> slept{0};  // Sleep() moves the tick count on
inline ulong GetTickCount64() { return terminal.ticks + slept; }
inline ulong GetMicrosecondCount() { return GetTickCount64() * 1000 + slept.fetch_add(0); }
inline void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(ms, 0)));
    slept += static_cast<ulong>(std::max(ms, 0));
}
// In the Strategy Tester TimeGMT and TimeTradeServer are the simulated TimeCurrent.
inline datetime TimeGMT() { return terminal.tester ? terminal.current : terminal.gmt; }
inline datetime TimeTradeServer() { return terminal.tester ? terminal.current : terminal.server; }
inline datetime TimeCurrent() { return terminal.current; }
enum { MQL_TESTER = 1, MQL_DLLS_ALLOWED, TERMINAL_DATA_PATH, TERMINAL_DLLS_ALLOWED };
enum { ACCOUNT_LOGIN = 10, ACCOUNT_COMPANY, ACCOUNT_SERVER };
inline long MQLInfoInteger(int what) {
    return what == MQL_TESTER ? terminal.tester : what == MQL_DLLS_ALLOWED ? terminal.dlls : 0;
}
inline long TerminalInfoInteger(int what) { return what == TERMINAL_DLLS_ALLOWED ? terminal.dlls : 0; }
inline long AccountInfoInteger(int) { return terminal.login; }
inline string AccountInfoString(int what) { return what == ACCOUNT_COMPANY ? "Broker Ltd" : "Broker-Demo"; }
// The data folder (the token cache goes there): the one above the test's MQL5\Files.
inline string TerminalInfoString(int) {
    return terminal.files.empty() ? string("C:\\terminal") : string((terminal.files + "/..").c_str());
}

struct MqlDateTime {
    int year, mon, day, hour, min, sec, day_of_week, day_of_year;
};
inline bool TimeToStruct(datetime t, MqlDateTime& out) {
    std::tm u{};
    gmtime_r(&t, &u);
    out = {u.tm_year + 1900, u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, u.tm_wday, u.tm_yday};
    return true;
}

// Files. A program reaches two folders only: its own MQL5\Files (in the
// tester the agent's, which holds only what the program named with
// #property tester_file, copied in by StartTester) and, with FILE_COMMON,
// Common\Files. A name may hold subfolders ('\' or '/'), which writing
// creates; a name that climbs out ("..", a drive, a root) is refused.
// FILE_WRITE alone empties the file; with FILE_READ it is kept. Text files
// (FILE_TXT) are read a line at a time, the line break dropped; FILE_ANSI
// texts are converted with the code page given to FileOpen.
enum { FILE_READ = 1, FILE_WRITE = 2, FILE_TXT = 16, FILE_ANSI = 32, FILE_SHARE_READ = 128 };
enum { FILE_REWRITE = 512, FILE_COMMON = 4096 };
inline void StartTester(const std::vector<std::string>& tester_files) {
    terminal.tester = true;
    std::filesystem::remove_all(terminal.agent);
    std::filesystem::create_directories(terminal.agent);
    for (const auto& name : tester_files) {  // a file that is missing is not copied
        std::filesystem::path to = terminal.agent + "/" + name;
        std::error_code error;
        std::filesystem::create_directories(to.parent_path(), error);
        std::filesystem::copy_file(terminal.files + "/" + name, to, error);
    }
}
inline bool SandboxPath(const string& name, int flags, std::string& path) {
    std::string n = name.utf8();
    std::replace(n.begin(), n.end(), '\\', '/');
    if (n.empty() || n[0] == '/' || n.find(':') != n.npos) return false;
    for (const auto& part : std::filesystem::path(n))
        if (part == "..") return false;
    path = (flags & FILE_COMMON ? terminal.common : terminal.tester ? terminal.agent : terminal.files) + "/" + n;
    return true;
}
struct MqlFile {
    std::fstream stream;
    int flags;
    uint codepage;
};
inline std::mutex file_lock;
inline std::deque<std::unique_ptr<MqlFile>> files;  // by handle
inline MqlFile& File(int h) {
    std::lock_guard<std::mutex> hold(file_lock);
    return *files.at(h);
}
inline int FileOpen(const string& name, int flags, short = ';', uint codepage = CP_ACP) {
    std::string path;
    if (!SandboxPath(name, flags, path) || !(flags & (FILE_READ | FILE_WRITE))) return INVALID_HANDLE;
    if (flags & FILE_WRITE) std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    auto mode = std::ios::binary | std::ios::in;
    if (flags & FILE_WRITE) {
        if (!(flags & FILE_READ) || !std::filesystem::exists(path)) std::ofstream(path, std::ios::binary);
        mode |= std::ios::out;
    }
    auto file = std::make_unique<MqlFile>(MqlFile{std::fstream(path, mode), flags, codepage});
    if (!file->stream.is_open()) return INVALID_HANDLE;
    std::lock_guard<std::mutex> hold(file_lock);
    files.push_back(std::move(file));
    return static_cast<int>(files.size()) - 1;
}
inline uint FileWriteString(int h, const string& s, int = -1) {
    auto& f = File(h);
    std::string bytes = Narrow(s, f.flags & FILE_ANSI ? f.codepage : CP_UTF8);
    return f.stream.write(bytes.data(), bytes.size()) ? StringLen(s) : 0;
}
inline string FileReadString(int h, int = -1) {
    auto& f = File(h);
    std::string line;
    std::getline(f.stream, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return Widen(line, f.flags & FILE_ANSI ? f.codepage : CP_UTF8);
}
inline bool FileIsEnding(int h) { return File(h).stream.peek() == std::char_traits<char>::eof(); }
inline void FileFlush(int h) { File(h).stream.flush(); }
inline void FileClose(int h) { File(h).stream.close(); }
inline bool FileDelete(const string& name, int common_flag = 0) {
    std::string path;
    return SandboxPath(name, common_flag, path) && std::filesystem::remove(path);
}
// Renames within the sandbox; an existing target only with FILE_REWRITE.
inline bool FileMove(const string& from, int common_flag, const string& to, int mode_flags) {
    std::string a, b;
    if (!SandboxPath(from, common_flag, a) || !SandboxPath(to, mode_flags, b) || !std::filesystem::exists(a))
        return false;
    if (std::filesystem::exists(b) && !(mode_flags & FILE_REWRITE)) return false;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(b).parent_path(), error);
    std::filesystem::rename(a, b, error);
    return !error;
}

// The terminal's global variables, shared by its programs (the tester has
// its own). GlobalVariableSetOnCondition is the atomic test-and-set.
inline std::mutex global_lock;
inline std::map<std::string, double> globals[2];
inline std::map<std::string, double>& Globals() { return globals[terminal.tester ? 1 : 0]; }
inline bool GlobalVariableCheck(const string& name) {
    std::lock_guard<std::mutex> hold(global_lock);
    return Globals().count(name.utf8()) > 0;
}
inline bool GlobalVariableTemp(const string& name) {
    std::lock_guard<std::mutex> hold(global_lock);
    return Globals().emplace(name.utf8(), 0.0), true;
}
inline double GlobalVariableGet(const string& name) {
    std::lock_guard<std::mutex> hold(global_lock);
    auto it = Globals().find(name.utf8());
    return it == Globals().end() ? 0 : it->second;
}
inline bool GlobalVariableSetOnCondition(const string& name, double value, double check_value) {
    std::lock_guard<std::mutex> hold(global_lock);
    auto it = Globals().find(name.utf8());
    if (it == Globals().end() || it->second != check_value) return false;
    it->second = value;
    return true;
}
