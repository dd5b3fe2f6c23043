#include "utf.h"

namespace movu::cli {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One code point from s at i; advances i past what was consumed.
char32_t Decode(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra;
    char32_t cp;
    char32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1, cp = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2, cp = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    std::size_t k = i + 1;
    for (int n = 0; n < extra; ++n, ++k) {
        if (k >= s.size() || (byte(k) & 0xC0) != 0x80) {
            i = k;  // the bad byte starts the next sequence
            return kReplacement;
        }
        cp = (cp << 6) | (byte(k) & 0x3F);
    }
    i = k;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

void Encode8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

Text16 Utf8To16(std::string_view utf8) {
    Text16 out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = Decode(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<movu_char16>(0xD800 + (cp >> 10));
            out += static_cast<movu_char16>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<movu_char16>(cp);
        }
    }
    return out;
}

std::string Utf16To8(const movu_char16* units, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t u = static_cast<char16_t>(units[i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            char32_t low = static_cast<char16_t>(units[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                Encode8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
                ++i;
                continue;
            }
        }
        Encode8(u >= 0xD800 && u <= 0xDFFF ? kReplacement : u, out);
    }
    return out;
}

}  // namespace movu::cli
