// One protected file per account under the terminal's data folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace movu {

constexpr std::size_t kTokenCacheReadLimit = 4095;

std::u16string JoinPath(std::u16string_view a, std::u16string_view b);
// Empty when no cache file applies (no data path, hashing failed).
std::u16string TokenCachePath(std::string_view account);
bool ReadSmallFile(const std::u16string& path, std::string& content);

// Both are called with TokenLock() held.
bool LoadTokenCache(std::string_view account);
void SaveTokenCache(std::string_view account, std::string_view token, std::int64_t expiry);

}  // namespace movu
