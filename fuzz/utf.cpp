// The UTF-8 <-> UTF-16 converters on arbitrary bytes and arbitrary units.
// Valid UTF-8 round-trips exactly; anything else round-trips to the text with
// each malformed piece replaced by U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "api/text.h"
#include "fuzz_support.h"

using namespace movu;

namespace {

// RFC 3629 well-formed UTF-8: no overlongs, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
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

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::u16string wide = Utf8ToUtf16(bytes);
    MOVU_FUZZ_CHECK(wide.size() <= bytes.size());
    std::string back = Utf16ToUtf8(wide);
    MOVU_FUZZ_CHECK(IsValidUtf8(back));
    MOVU_FUZZ_CHECK(Utf8ToUtf16(back) == wide);
    MOVU_FUZZ_CHECK(IsValidUtf8(bytes) == (back == bytes));

    // The same bytes as UTF-16 units: only unpaired surrogates change.
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(&units[0], data, units.size() * 2);
    std::string utf8 = Utf16ToUtf8(units);
    MOVU_FUZZ_CHECK(IsValidUtf8(utf8) && utf8.size() <= units.size() * 3);
    std::u16string round = Utf8ToUtf16(utf8);
    MOVU_FUZZ_CHECK(round.size() == units.size());
    for (std::size_t i = 0; i < units.size(); ++i)
        MOVU_FUZZ_CHECK(round[i] == units[i] || (IsSurrogate(units[i]) && round[i] == 0xFFFD));
    return 0;
}
