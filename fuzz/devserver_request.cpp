// Bytes a client sends to movu-devserver: parsing never throws or reads past
// the input, refuses heads over the limit, never yields a body over its limit,
// and keeps the header lines it reports within the head.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "http.h"

using namespace movu::devserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Limits limits;
    limits.head = 1024;
    limits.body = 512;
    Request r;
    bool complete = false;
    const std::string why = ParseRequest(bytes, limits, r, complete);
    MOVU_FUZZ_CHECK(r.body.size() <= limits.body);
    MOVU_FUZZ_CHECK(!complete || why.empty());
    size_t lines = 0;
    for (const auto& line : r.header_lines) {
        MOVU_FUZZ_CHECK(line.find('\n') == std::string::npos);
        lines += line.size() + 2;
    }
    MOVU_FUZZ_CHECK(lines <= limits.head);
    if (complete) MOVU_FUZZ_CHECK(!r.method.empty() && r.Path().size() <= r.target.size());
    (void)QueryParams(r.target);
    (void)r.Header("Content-Length");
    return 0;
}
