// Text at the library boundary: conversion, trimming, argument reading and
// copy-out into caller buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "movu_mt5.h"

namespace movu {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The Unicode White_Space set, the classification Windows' iswspace reports;
// never the C library's locale-dependent one.
bool IsWideSpace(char32_t c);
// UTF-8 text without that white space at either end.
std::string TrimSpace(std::string_view utf8);

// A caller's UTF-16 pointer as a string; null reads as empty.
std::u16string WideArg(const movu_char16* text);
// A caller's 8-bit pointer as bytes; null reads as empty.
std::string NarrowArg(const char* text);

// An export's text argument as the request carries it: white space trimmed
// at both ends, UTF-8; null is absent. The 8-bit form reads UTF-8, with
// malformed bytes taken as U+FFFD.
std::optional<std::string> TrimmedText(const movu_char16* text);
std::optional<std::string> TrimmedText(const char* text);
// UTF-8 with every malformed sequence replaced by U+FFFD, as the exports'
// 8-bit forms read their texts.
std::string ValidUtf8(std::string_view bytes);
// The setters' 8-bit argument, which some callers fill with UTF-16 instead,
// as UTF-8; null reads as empty.
std::string ReadArgTextA(const char* arg);

// Copies into caller buffers; both cut silently at capacity - 1 and return the
// number of units written before the terminator.
std::int32_t ResultCopyW(std::string_view utf8, movu_char16* out, std::int32_t capacity);
std::int32_t ResultCopyA(std::string_view utf8, char* out, std::int32_t capacity);

// JSON string content: quote, backslash and control characters escaped, the
// rest byte for byte. Keeps every envelope valid JSON.
std::string JsonEscape(std::string_view text);

}  // namespace movu
