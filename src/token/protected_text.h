// Protected text: a user-bound protection blob as one line of base64. Shared
// by the token cache file and the text-protection exports.
#pragma once

#include <string>
#include <string_view>

namespace movu {

enum class ProtectOutcome { Ok, ProtectFailed, EncodeFailed };
enum class UnprotectOutcome { Ok, DecodeFailed, UnprotectFailed };

ProtectOutcome ProtectToText(std::string_view plain, std::string& text);
UnprotectOutcome UnprotectFromText(std::string_view text, std::string& plain);

bool Base64Encode(std::string_view bytes, std::string& text);
bool Sha256Hex(std::string_view bytes, std::string& hex);

}  // namespace movu
