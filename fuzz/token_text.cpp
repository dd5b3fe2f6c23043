// The two readers of a token answer, on whatever the service or a cache file
// may hold. A parsed expiry in range must survive formatting and parsing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "token/client_token.h"

using namespace movu;

namespace {

constexpr std::int64_t kLatest = 32535215999;  // 3000-12-31T23:59:59Z

void CheckTimestamp(std::string_view text) {
    std::int64_t seconds = -1;
    bool ok = ParseIsoTimestamp(text, seconds);
    if (!ok) {
        MOVU_FUZZ_CHECK(seconds == 0);
        return;
    }
    if (seconds < 0 || seconds > kLatest) return;  // moved out of range by the offset
    std::int64_t again = -1;
    MOVU_FUZZ_CHECK(ParseIsoTimestamp(FormatIsoTimestamp(seconds), again) && again == seconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view json(reinterpret_cast<const char*>(data), size);
    for (std::string_view key : {"token", "expires_at"}) {
        std::string value;
        if (ExtractJsonString(json, key, value)) {
            MOVU_FUZZ_CHECK(value.find('"') == std::string::npos);
            MOVU_FUZZ_CHECK(json.find(value) != std::string_view::npos);
            CheckTimestamp(value);
        } else {
            MOVU_FUZZ_CHECK(value.empty());
        }
    }
    CheckTimestamp(json);
    return 0;
}
