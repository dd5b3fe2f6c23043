// Bytes a client sends to movu-devserver: parsing never throws or reads past
// the input, refuses heads over the limit, never yields a body over its limit,
// and keeps the header lines it reports within the head.
#include "fuzz_support.h"
#include "http.h"

using namespace movu::devserver;

MOVU_FUZZ_TARGET(bytes) {
    Limits limits;
    limits.head = 1024;
    limits.body = 512;
    Request r;
    bool complete = false;
    const std::string why = ParseRequest(bytes, limits, r, complete);
    movu::fuzz::Check(r.body.size() <= limits.body && (!complete || why.empty()));
    std::size_t lines = 0;
    for (const auto& line : r.header_lines) {
        movu::fuzz::Check(line.find('\n') == std::string::npos);
        lines += line.size() + 2;
    }
    movu::fuzz::Check(lines <= limits.head);
    if (complete) movu::fuzz::Check(!r.method.empty() && r.Path().size() <= r.target.size());
    (void)QueryParams(r.target);
    (void)r.Header("Content-Length");
}
