// A text option for WinHttpSetOption whose length unit is not documented.
#pragma once

#include <string>
#include <string_view>

namespace movu::platform {

// The option's length is stated in characters for a few named options and in
// bytes for all others; the resolution override is named in neither list. The
// text is followed by zeros up to twice its length with the terminator, and
// that count is the length to pass: read as bytes it covers the text and its
// terminator, read as characters it ends inside the buffer.
inline std::u16string TextOptionBuffer(std::u16string_view text) {
    std::u16string buffer(text);
    buffer.resize(2 * (text.size() + 1), u'\0');
    return buffer;
}

}  // namespace movu::platform
