// One request as an export hands it in, read once: every text UTF-8, trimmed
// where the export trims it. From here to the transport it is only read.
#pragma once

#include <optional>
#include <string>

#include "movu_mt5.h"
#include "transport/query_params.h"

namespace movu {

// Absent (a null pointer from the caller) is not the same as present and
// empty: the signed request names every identity header the caller passed.
struct Identity {
    std::optional<std::string> account, platform, broker, server, clientVersion;
};

struct Request {
    Identity identity;
    std::string method;
    std::string path;
    QueryParams query;
    std::string body;
};

// The five identity texts of an export, each trimmed; null is absent.
Identity ReadIdentity(const movu_char16* account, const movu_char16* platform, const movu_char16* broker,
                      const movu_char16* server, const movu_char16* clientVersion);
Identity ReadIdentity(const char* account, const char* platform, const char* broker, const char* server,
                      const char* clientVersion);

// path, then the query sorted and percent-encoded after "?" (or "&" when the
// path already has a query).
std::string RequestTarget(const Request& request);

}  // namespace movu
