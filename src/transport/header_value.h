// Values that go into header lines.
#pragma once

#include <string>
#include <string_view>

namespace movu {

// Drops control characters (C0, DEL) so that no value can end its header
// line early or start another one. Everything else is kept as it is.
std::u16string HeaderSafe(std::u16string_view value);

}  // namespace movu
