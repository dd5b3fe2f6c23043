// Protected text as Movu_UnprotectTextW and the token cache receive it. First
// byte: '0' the rest is the text itself, '1' the rest is a blob (sent as its
// base64), '2' the rest is protected, must come back unchanged, and must no
// longer open once any one byte of its blob is changed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    const int mode = data[0] % 3;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string plain;

    if (mode == 0) {
        UnprotectOutcome outcome = UnprotectFromText(rest, plain);
        if (outcome != UnprotectOutcome::Ok) MOVU_FUZZ_CHECK(plain.empty());
        // Strict base64: a decoded text is the one encoding of its bytes.
        std::string bytes, encoded;
        std::string_view trimmed = TrimAsciiSpace(rest);
        if (!trimmed.empty() && platform::Base64Decode(rest, bytes)) {
            MOVU_FUZZ_CHECK(Base64Encode(bytes, encoded) && encoded == trimmed);
        }
    } else if (mode == 1) {
        std::string text;
        MOVU_FUZZ_CHECK(Base64Encode(rest, text));
        // Only blobs made under this run's key open, and none is given here.
        MOVU_FUZZ_CHECK(UnprotectFromText(text, plain) != UnprotectOutcome::Ok && plain.empty());
    } else {
        std::string text;
        MOVU_FUZZ_CHECK(ProtectToText(rest, text) == ProtectOutcome::Ok);
        MOVU_FUZZ_CHECK(UnprotectFromText(text, plain) == UnprotectOutcome::Ok && plain == rest);
        std::string blob;
        MOVU_FUZZ_CHECK(platform::Base64Decode(text, blob) && !blob.empty());
        std::size_t at = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) * 131u % blob.size();
        blob[at] = static_cast<char>(blob[at] ^ (rest.size() > 1 && rest[1] != 0 ? rest[1] : 1));
        MOVU_FUZZ_CHECK(Base64Encode(blob, text));
        MOVU_FUZZ_CHECK(UnprotectFromText(text, plain) == UnprotectOutcome::UnprotectFailed && plain.empty());
    }
    return 0;
}
