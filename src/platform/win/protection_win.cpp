// User-bound protection (DPAPI), base64 (CRYPT32) and SHA-256 (CNG).
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace movu::platform {
namespace {

constexpr DWORD kBase64NoLineBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;  // 0x40000001

bool FitsDword(std::size_t n) { return n <= 0xFFFFFFFFu; }

DATA_BLOB BlobOf(std::string_view bytes) {
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    return blob;
}

// Takes the service's buffer over: copied, wiped, and given back at once.
void TakeOutput(DATA_BLOB& out, std::string& into) {
    into.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
}

}  // namespace

bool ProtectBytes(std::string_view plain, std::string_view description, std::string_view entropy, std::string& blob) {
    blob.clear();
    if (!FitsDword(plain.size()) || !FitsDword(entropy.size())) return false;
    const std::u16string descriptionUnits = Utf8ToUtf16(description);
    std::wstring descriptionText(descriptionUnits.begin(), descriptionUnits.end());
    DATA_BLOB in = BlobOf(plain);
    DATA_BLOB salt = BlobOf(entropy);
    DATA_BLOB out{};
    if (!CryptProtectData(&in, descriptionText.c_str(), &salt, nullptr, nullptr, 0, &out)) return false;
    TakeOutput(out, blob);
    return true;
}

bool UnprotectBytes(std::string_view blob, std::string_view entropy, std::string& plain) {
    plain.clear();
    if (!FitsDword(blob.size()) || !FitsDword(entropy.size())) return false;
    DATA_BLOB in = BlobOf(blob);
    DATA_BLOB salt = BlobOf(entropy);
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, &salt, nullptr, nullptr, 0, &out)) return false;
    TakeOutput(out, plain);
    return true;
}

bool Base64Encode(std::string_view bytes, std::string& text) {
    text.clear();
    if (bytes.empty()) return true;
    if (!FitsDword(bytes.size())) return false;
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
    DWORD size = 0;
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), kBase64NoLineBreaks, nullptr, &size) || size == 0)
        return false;
    std::string out(size, '\0');
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), kBase64NoLineBreaks, &out[0], &size))
        return false;
    // The size reported by the first call counts the terminator.
    while (!out.empty() && out.back() == '\0') out.pop_back();
    text.swap(out);
    return true;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.empty()) return true;
    if (!FitsDword(text.size())) return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return false;
    std::string out(size, '\0');
    if (size != 0 && !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                           reinterpret_cast<BYTE*>(&out[0]), &size, nullptr, nullptr))
        return false;
    out.resize(size);
    bytes.swap(out);
    return true;
}

bool Sha256(std::string_view bytes, unsigned char digest[32]) {
    if (!FitsDword(bytes.size())) return false;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    bool ok = false;
    DWORD objectLength = 0, digestLength = 0, got = 0;
    if (BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength,
                          &got, 0) == 0 &&
        BCryptGetProperty(algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength), sizeof digestLength,
                          &got, 0) == 0 &&
        digestLength == 32) {
        std::vector<UCHAR> object(objectLength ? objectLength : 1);
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (BCryptCreateHash(algorithm, &hash, object.data(), objectLength, nullptr, 0, 0) == 0) {
            ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                static_cast<ULONG>(bytes.size()), 0) == 0 &&
                 BCryptFinishHash(hash, digest, digestLength, 0) == 0;
            BCryptDestroyHash(hash);
        }
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

void WipeSecret(std::string& secret) {
    if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size());
    secret.clear();
}

void WipeSecret(std::u16string& secret) {
    if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size() * sizeof(char16_t));
    secret.clear();
}

}  // namespace movu::platform
