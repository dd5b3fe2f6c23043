// The header fields a request sends, built in the order they go out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "transport/request.h"

namespace movu {

using HeaderFields = std::vector<platform::HeaderField>;

// Adds a field, or replaces the value of the one already there under that
// name (letter case aside), so that each name goes out once. Control
// characters (C0, DEL) are dropped from the value, so that no value can end
// its line early or start another one, and blanks at its ends are trimmed.
void SetHeader(HeaderFields& fields, std::string_view name, std::string_view value);

enum class EmptyIdentity {
    Named,    // every identity value the caller passed, even an empty one (signed requests)
    Omitted,  // only the values with text (the token request)
};

// X-Account always, then X-Platform, X-Broker, X-Server, X-Client-Version.
void AddIdentityHeaders(HeaderFields& fields, const Identity& identity, EmptyIdentity empty);

}  // namespace movu
