// The UTF-8 <-> UTF-16 converters on arbitrary bytes and arbitrary units.
// Valid UTF-8 round-trips exactly; anything else round-trips to the text with
// each malformed piece replaced by U+FFFD.
#include <cstring>

#include "api/text.h"
#include "fuzz_support.h"

using namespace movu;

// RFC 3629 well-formed UTF-8: no overlongs, no surrogates, nothing past U+10FFFF.
static bool IsValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0, n = s.size(); i < n;) {
        unsigned char c = p[i];
        std::size_t len = c < 0x80                 ? 1
                          : c >= 0xC2 && c <= 0xDF ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
        if (len == 0 || i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        if ((c == 0xE0 && p[i + 1] < 0xA0) || (c == 0xED && p[i + 1] > 0x9F) || (c == 0xF0 && p[i + 1] < 0x90) ||
            (c == 0xF4 && p[i + 1] > 0x8F))
            return false;
        i += len;
    }
    return true;
}

MOVU_FUZZ_TARGET(bytes) {
    std::u16string wide = Utf8ToUtf16(bytes);
    std::string back = Utf16ToUtf8(wide);
    fuzz::Check(wide.size() <= bytes.size() && IsValidUtf8(back) && Utf8ToUtf16(back) == wide);
    fuzz::Check(IsValidUtf8(bytes) == (back == bytes));

    // The same bytes as UTF-16 units: only unpaired surrogates change.
    std::u16string units(bytes.size() / 2, u'\0');
    if (!units.empty()) std::memcpy(&units[0], bytes.data(), units.size() * 2);
    std::string utf8 = Utf16ToUtf8(units);
    fuzz::Check(IsValidUtf8(utf8) && utf8.size() <= units.size() * 3);
    std::u16string round = Utf8ToUtf16(utf8);
    fuzz::Check(round.size() == units.size());
    for (std::size_t i = 0; i < units.size(); ++i)
        fuzz::Check(round[i] == units[i] || (units[i] >= 0xD800 && units[i] <= 0xDFFF && round[i] == 0xFFFD));
}
