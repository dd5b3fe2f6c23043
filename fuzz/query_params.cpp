// Query text as callers pass it: parsing never fails, decoding never grows the
// text, and what the library builds from parsed pairs parses back to them.
#include <algorithm>

#include "fuzz_support.h"
#include "transport/query_params.h"

using namespace movu;

MOVU_FUZZ_TARGET(text) {
    fuzz::Check(PercentDecode(text).size() <= text.size());
    fuzz::Check(PercentDecode(PercentEncode(text)) == text);

    QueryParams params = ParseQueryText(text);
    for (const auto& param : params) fuzz::Check(!param.first.empty());
    QueryParams sorted = params;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    fuzz::Check(ParseQueryText(BuildQueryText(params)) == sorted);
}
