// Query text as callers pass it: parsing never fails, decoding never grows the
// text, and what the library builds from parsed pairs parses back to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "transport/query_params.h"

using namespace movu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    MOVU_FUZZ_CHECK(PercentDecode(text).size() <= text.size());
    MOVU_FUZZ_CHECK(PercentDecode(PercentEncode(text)) == text);

    QueryParams params = ParseQueryText(text);
    for (const auto& param : params) MOVU_FUZZ_CHECK(!param.first.empty());
    QueryParams sorted = params;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    MOVU_FUZZ_CHECK(ParseQueryText(BuildQueryText(params)) == sorted);
    return 0;
}
