#include "api/text.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace movu {

std::u16string Utf8ToUtf16(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(INT_MAX)) return {};
    return platform::Utf8ToUtf16(utf8);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    if (utf16.empty() || utf16.size() > static_cast<std::size_t>(INT_MAX)) return {};
    return platform::Utf16ToUtf8(utf16);
}

bool IsWideSpace(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
        case 0x0085:
        case 0x00A0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return c >= 0x2000 && c <= 0x200A;
    }
}

namespace {

// The code point of the sequence at [at, at + n): every white space
// character lies in the Basic Multilingual Plane, so 1 to 3 bytes suffice;
// anything else decodes to a non-space.
char32_t DecodeAt(std::string_view s, std::size_t at, std::size_t n) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[at + i]); };
    if (n == 1) return b(0) < 0x80 ? b(0) : 0xFFFD;
    if (n == 2) return ((b(0) & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    if (n == 3) return ((b(0) & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    return 0xFFFD;
}

std::size_t SequenceLength(unsigned char lead) { return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string TrimSpace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        std::size_t n = SequenceLength(static_cast<unsigned char>(text[begin]));
        if (n > end - begin || !IsWideSpace(DecodeAt(text, begin, n))) break;
        begin += n;
    }
    while (end > begin) {
        std::size_t lead = end - 1;
        while (lead > begin && end - lead < 4 && IsContinuation(text[lead])) --lead;
        std::size_t n = end - lead;
        if (SequenceLength(static_cast<unsigned char>(text[lead])) != n || !IsWideSpace(DecodeAt(text, lead, n))) break;
        end = lead;
    }
    return std::string(text.substr(begin, end - begin));
}

std::u16string WideArg(const movu_char16* text) {
    if (text == nullptr) return {};
    const auto* p = reinterpret_cast<const char16_t*>(text);
    return std::u16string(p);
}

std::string NarrowArg(const char* text) { return text == nullptr ? std::string() : std::string(text); }

std::optional<std::string> TrimmedText(const movu_char16* text) {
    if (text == nullptr) return std::nullopt;
    return TrimSpace(Utf16ToUtf8(WideArg(text)));
}

std::optional<std::string> TrimmedText(const char* text) {
    if (text == nullptr) return std::nullopt;
    return TrimSpace(ValidUtf8(text));
}

std::string ValidUtf8(std::string_view bytes) { return Utf16ToUtf8(Utf8ToUtf16(bytes)); }

namespace {

// ReadArgTextA must look at bytes that may lie behind an 8-bit text's
// terminator. The page check keeps that from faulting; the address checker
// is told that these few reads are meant.
#if defined(__GNUC__) || defined(__clang__)
#define MOVU_DELIBERATE_READ __attribute__((noinline, no_sanitize_address))
#elif defined(_MSC_VER)
#define MOVU_DELIBERATE_READ __declspec(noinline) __declspec(no_sanitize_address)
#else
#define MOVU_DELIBERATE_READ
#endif

MOVU_DELIBERATE_READ unsigned char PeekByte(const unsigned char* p) { return *p; }

constexpr std::uintptr_t kPage = 4096;  // the smallest page size we run on

bool SamePage(const void* a, const void* b) {
    return reinterpret_cast<std::uintptr_t>(a) / kPage == reinterpret_cast<std::uintptr_t>(b) / kPage;
}

// Reads 16-bit units up to the first zero unit. The caller's pointer may be
// odd, and the text may be a misread 8-bit one, so every new page is checked
// before it is touched; an unreadable page ends the text.
std::u16string ReadUnitsGuarded(const unsigned char* p) {
    std::u16string out;
    for (const unsigned char* q = p;; q += 2) {
        if (!SamePage(q - 1, q + 1) && !platform::IsReadable(q, 2)) break;
        char16_t unit = static_cast<char16_t>(PeekByte(q) | (PeekByte(q + 1) << 8));
        if (unit == 0) break;
        out.push_back(unit);
    }
    return out;
}

}  // namespace

std::string ReadArgTextA(const char* arg) {
    if (arg == nullptr) return {};
    const auto* b = reinterpret_cast<const unsigned char*>(arg);
    bool utf16 = false;
    if (b[0] != 0 && b[1] == 0) {
        // Bytes 2 and 3 may lie behind an 8-bit terminator; look only when
        // they can be read.
        if (SamePage(b + 1, b + 3) || platform::IsReadable(b + 2, 2))
            utf16 = PeekByte(b + 2) != 0 && PeekByte(b + 3) == 0;
    }
    return utf16 ? Utf16ToUtf8(ReadUnitsGuarded(b)) : ValidUtf8(arg);
}

std::int32_t ResultCopyW(std::string_view utf8, movu_char16* out, std::int32_t capacity) {
    if (out == nullptr || capacity < 1) return 0;
    std::u16string wide = Utf8ToUtf16(utf8);
    std::size_t n = wide.size();
    if (n >= static_cast<std::size_t>(capacity)) n = static_cast<std::size_t>(capacity) - 1;
    if (n > 0) std::memcpy(out, wide.data(), n * sizeof(char16_t));
    out[n] = 0;
    return static_cast<std::int32_t>(n);
}

std::int32_t ResultCopyA(std::string_view utf8, char* out, std::int32_t capacity) {
    if (out == nullptr || capacity < 1) return 0;
    std::size_t n = utf8.size();
    if (n >= static_cast<std::size_t>(capacity)) n = static_cast<std::size_t>(capacity) - 1;
    if (n > 0) std::memcpy(out, utf8.data(), n);
    out[n] = 0;
    return static_cast<std::int32_t>(n);
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    ascii::AppendHex(out, c, ascii::kLowerHex);
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

}  // namespace movu
