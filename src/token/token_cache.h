// One protected file per account under the terminal's data folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movu {

constexpr std::size_t kTokenCacheReadLimit = 4095;

std::string JoinPath(std::string_view a, std::string_view b);
// Empty when no cache file applies (no data path, hashing failed).
std::string TokenCachePath(std::string_view account);
bool ReadSmallFile(const std::string& path, std::string& content);

// Both are called with TokenLock() held.
bool LoadTokenCache(std::string_view account);
void SaveTokenCache(std::string_view account, std::string_view token, std::int64_t expiry);

}  // namespace movu
