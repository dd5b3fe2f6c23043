#include "transport/header_value.h"

namespace movu {

std::u16string HeaderSafe(std::u16string_view value) {
    std::u16string out;
    out.reserve(value.size());
    for (char16_t c : value) {
        if (c >= 0x20 && c != 0x7F) out.push_back(c);
    }
    return out;
}

}  // namespace movu
