#include "token/protected_text.h"

#include "platform/ascii.h"
#include "platform/platform.h"

namespace movu {
namespace {

// Every protected text of the library carries the same description and
// entropy, so token cache files and texts protected for MQL programs can be
// read by either side.
constexpr std::string_view kDescription = "qz_movu";
constexpr std::string_view kEntropy = "zq_entropy_k7_v1";

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
    hex.reserve(64);
    for (unsigned char b : digest) ascii::AppendHex(hex, b, ascii::kLowerHex);
    return true;
}

}  // namespace movu
