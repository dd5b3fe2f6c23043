// Protected text as Movu_UnprotectTextW and the token cache receive it. First
// byte: '0' the rest is the text itself, '1' the rest is a blob (sent as its
// base64), '2' the rest is protected, must come back unchanged, and must no
// longer open once any one byte of its blob is changed.
#include "fuzz_support.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "token/protected_text.h"

using namespace movu;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::PrivateDataHome();
    std::string text;
    // Makes the key now, so that every input meets the same folder.
    if (ProtectToText("warm-up", text) != ProtectOutcome::Ok) std::abort();
    return 0;
}

MOVU_FUZZ_TARGET(rest) {
    const int mode = fuzz::TakeMode(rest, 3);
    std::string plain, text, bytes;
    if (mode == 0) {
        if (UnprotectFromText(rest, plain) != UnprotectOutcome::Ok) fuzz::Check(plain.empty());
        // Strict base64: a decoded text is the one encoding of its bytes.
        std::string_view trimmed = ascii::TrimSpace(rest);
        if (!trimmed.empty() && platform::Base64Decode(rest, bytes))
            fuzz::Check(Base64Encode(bytes, text) && text == trimmed);
    } else if (mode == 1) {
        Base64Encode(rest, text);
        // Only blobs made under this run's key open, and none is given here.
        fuzz::Check(UnprotectFromText(text, plain) != UnprotectOutcome::Ok && plain.empty());
    } else {
        fuzz::Check(ProtectToText(rest, text) == ProtectOutcome::Ok);
        fuzz::Check(UnprotectFromText(text, plain) == UnprotectOutcome::Ok && plain == rest);
        fuzz::Check(platform::Base64Decode(text, bytes) && !bytes.empty());
        std::size_t at = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) * 131u % bytes.size();
        bytes[at] = static_cast<char>(bytes[at] ^ (rest.size() > 1 && rest[1] != 0 ? rest[1] : 1));
        Base64Encode(bytes, text);
        fuzz::Check(UnprotectFromText(text, plain) == UnprotectOutcome::UnprotectFailed && plain.empty());
    }
}
