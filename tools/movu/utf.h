// UTF-8 <-> 16-bit code units for the library's UTF-16 parameters. Malformed
// input becomes U+FFFD, as the library's own conversion does, so what the host
// prints is what an MQL program would see.
#pragma once

#include <string>
#include <string_view>

#include "movu_mt5.h"

namespace movu::cli {

using Text16 = std::basic_string<movu_char16>;

Text16 Utf8To16(std::string_view utf8);
std::string Utf16To8(const movu_char16* units, std::size_t count);
inline std::string Utf16To8(const Text16& text) { return Utf16To8(text.data(), text.size()); }

}  // namespace movu::cli
