#include "token/protected_text.h"

#include "platform/platform.h"

namespace movu {
namespace {

// Every protected text of the library carries the same description and
// entropy, so token cache files and texts protected for MQL programs can be
// read by either side.
constexpr std::string_view kDescription = "qz_movu";
constexpr std::string_view kEntropy = "zq_entropy_k7_v1";

bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

ProtectOutcome ProtectToText(std::string_view plain, std::string& text) {
    text.clear();
    std::string blob;
    if (!platform::ProtectBytes(plain, kDescription, kEntropy, blob)) return ProtectOutcome::ProtectFailed;
    if (!Base64Encode(blob, text)) {
        text.clear();
        return ProtectOutcome::EncodeFailed;
    }
    return ProtectOutcome::Ok;
}

UnprotectOutcome UnprotectFromText(std::string_view text, std::string& plain) {
    plain.clear();
    std::string blob;
    if (!platform::Base64Decode(text, blob)) return UnprotectOutcome::DecodeFailed;
    if (!platform::UnprotectBytes(blob, kEntropy, plain)) {
        plain.clear();
        return UnprotectOutcome::UnprotectFailed;
    }
    return UnprotectOutcome::Ok;
}

bool Base64Encode(std::string_view bytes, std::string& text) { return platform::Base64Encode(bytes, text); }

bool Sha256Hex(std::string_view bytes, std::string& hex) {
    hex.clear();
    unsigned char digest[32];
    if (!platform::Sha256(bytes, digest)) return false;
    static constexpr char kDigits[] = "0123456789abcdef";
    hex.reserve(64);
    for (unsigned char b : digest) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0F]);
    }
    return true;
}

std::string_view TrimAsciiSpace(std::string_view text) {
    while (!text.empty() && IsAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsAsciiSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace movu
