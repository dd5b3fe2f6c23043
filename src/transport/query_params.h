// Query parameters travel as (key, value) pairs of UTF-8 bytes and become
// text only when a request target is built: sorted by key, percent-encoded.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movu {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

QueryParams ParseQueryText(std::string_view text);
std::string PercentDecode(std::string_view text);
std::string BuildQueryText(const QueryParams& params);
std::string PercentEncode(std::string_view bytes);

}  // namespace movu
