// Protecting a text for the current user, and getting it back, for MQL
// programs that keep secrets in files. The output is always 8-bit: base64
// from protection, the UTF-8 bytes of the text from unprotection.
#include <cstdint>
#include <string>

#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "platform/platform.h"
#include "token/protected_text.h"

namespace {

// Both exports empty the buffer first, so every failure leaves an empty text
// behind. A result that does not fit is cut and still counts as done.
void ClearOut(char* out, std::int32_t capacity) {
    if (out && capacity >= 1) out[0] = '\0';
}

}  // namespace

extern "C" MOVU_EXPORT int32_t MOVU_CALL Movu_ProtectTextW(const movu_char16* text, char* out, int32_t capacity) {
    ClearOut(out, capacity);
    return movu::Guard([&]() -> std::int32_t {
        if (!text || !out || capacity < 1) return movu::kArgumentMissing;
        // The text is a secret: each copy made here is wiped before it is
        // freed, the UTF-16 one, the untrimmed UTF-8 one and the trimmed one.
        std::u16string wide = movu::WideArg(text);
        std::string utf8 = movu::Utf16ToUtf8(wide);
        movu::platform::WipeSecret(wide);
        std::string plain = movu::TrimSpace(utf8);
        movu::platform::WipeSecret(utf8);
        if (plain.empty()) return movu::kOk;
        std::string protectedText;
        movu::ProtectOutcome outcome = movu::ProtectToText(plain, protectedText);
        movu::platform::WipeSecret(plain);
        if (outcome == movu::ProtectOutcome::ProtectFailed) return movu::kProtectFailed;
        if (outcome == movu::ProtectOutcome::EncodeFailed) return movu::kEncodeFailed;
        movu::ResultCopyA(protectedText, out, capacity);
        return movu::kOk;
    });
}

extern "C" MOVU_EXPORT int32_t MOVU_CALL Movu_UnprotectTextW(const movu_char16* text, char* out, int32_t capacity) {
    ClearOut(out, capacity);
    return movu::Guard([&]() -> std::int32_t {
        if (!text || !out || capacity < 1) return movu::kArgumentMissing;
        const std::string protectedText = movu::TrimSpace(movu::Utf16ToUtf8(movu::WideArg(text)));
        if (protectedText.empty()) return movu::kOk;
        std::string plain;
        switch (movu::UnprotectFromText(protectedText, plain)) {
            case movu::UnprotectOutcome::DecodeFailed: return movu::kNotBase64;
            case movu::UnprotectOutcome::UnprotectFailed: return movu::kUnprotectFailed;
            case movu::UnprotectOutcome::Ok: break;
        }
        movu::ResultCopyA(plain, out, capacity);
        movu::platform::WipeSecret(plain);
        return movu::kOk;
    });
}
