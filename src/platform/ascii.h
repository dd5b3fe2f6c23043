// ASCII rules for protocol text: header names, host names, schemes, base64
// and hex. Never the C library's locale-dependent classification: a Turkish
// or any other locale must not change how a header name compares.
#pragma once

#include <string>
#include <string_view>

namespace movu::ascii {

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

// Whole-text match with ASCII letters folded; no other byte folds.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// Space, tab, CR and LF: the blanks around a line of base64 or JSON.
inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline std::string_view TrimSpace(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

inline constexpr char kUpperHex[] = "0123456789ABCDEF";
inline constexpr char kLowerHex[] = "0123456789abcdef";

// 0 to 15 for a hex digit of either case, else -1.
inline int HexValue(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte as two digits from the given table, appended.
inline void AppendHex(std::string& out, unsigned char byte, const char (&digits)[17] = kUpperHex) {
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0x0F]);
}

}  // namespace movu::ascii
