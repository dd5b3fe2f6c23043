// The two readers of a token answer, on whatever the service or a cache file
// may hold. A parsed expiry in range must survive formatting and parsing.
#include "fuzz_support.h"
#include "token/client_token.h"

using namespace movu;

static void CheckTimestamp(std::string_view text) {
    std::int64_t seconds = -1, again = -1;
    if (!ParseIsoTimestamp(text, seconds)) return fuzz::Check(seconds == 0);
    if (seconds < 0 || seconds > fuzz::kLatest) return;  // moved out of range by the offset
    fuzz::Check(ParseIsoTimestamp(FormatIsoTimestamp(seconds), again) && again == seconds);
}

MOVU_FUZZ_TARGET(json) {
    for (std::string_view key : {"token", "expires_at"}) {
        std::string value;
        const bool found = ExtractJsonString(json, key, value);
        fuzz::Check(found ? value.find('"') == std::string::npos && json.find(value) != std::string_view::npos
                          : value.empty());
        CheckTimestamp(value);
    }
    CheckTimestamp(json);
}
