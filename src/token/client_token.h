// The bearer token held in memory, its lock, and the two small readers of a
// token answer.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace movu {

struct ClientToken {
    std::string token;         // as it stood between the quotes, unescaped
    std::int64_t expiry = 0;   // seconds since 1970-01-01T00:00:00Z
    std::string ownerAccount;  // UTF-8
};

// The token lock guards TokenState() only. The process-wide lock may be taken
// while it is held, never the other way round.
std::mutex& TokenLock();
ClientToken& TokenState();

// The caller holds TokenLock().
void ClearTokenState();

std::int64_t Now();

// Held token usable for this account: strictly more than 300 seconds left.
bool IsUsableFor(const ClientToken& held, std::string_view account, std::int64_t now);

// A text search, not a JSON parser: the text between the first two double
// quotes after the colon that follows "key".
bool ExtractJsonString(std::string_view json, std::string_view key, std::string& value);

// "YYYY-MM-DDTHH:MM:SS" with an optional offset; 1970 to 3000 only.
bool ParseIsoTimestamp(std::string_view text, std::int64_t& seconds);

// Seconds as "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatIsoTimestamp(std::int64_t seconds);

}  // namespace movu
