// User-bound protection, base64 and SHA-256 on POSIX, over OpenSSL.
//
// Protection is AES-256-GCM under a 32-byte master key that belongs to the
// user: it lives in a folder only the user can open (0700), in a file only the
// user can read (0600). Blob layout, all integers big-endian:
//
//   "MVPB"              4 bytes  magic
//   version             1 byte   1
//   description length  2 bytes  n
//   description         n bytes  UTF-8
//   nonce              12 bytes  random per blob
//   ciphertext          as long as the plaintext
//   tag                16 bytes
//
// The associated data is everything before the nonce followed by the entropy,
// so the description cannot be changed and the blob opens only with the
// entropy it was made with. A blob made under another master key fails the
// tag check like any damaged blob.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/posix/key_store.h"

namespace movu::platform {
namespace {

constexpr unsigned char kMagic[4] = {'M', 'V', 'P', 'B'};
constexpr unsigned char kVersion = 1;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kFixedHeaderSize = sizeof kMagic + 1 + 2;
constexpr char kKeyFileName[] = "master.key";

std::mutex& OverrideLock() {
    static std::mutex lock;
    return lock;
}

std::string& OverrideFolder() {
    static std::string folder;
    return folder;
}

struct MasterKey {
    unsigned char bytes[kKeySize];
    ~MasterKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        *found->pw_dir)
        return found->pw_dir;
    return {};
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Creates every missing level owner-only, then insists the folder is a
// directory of this user and closes it to everyone else.
bool EnsurePrivateFolder(const std::string& folder) {
    for (std::size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        std::string level = folder.substr(0, pos);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            struct stat st {};
            if (stat(level.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        }
        if (pos == std::string::npos) break;
    }
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
    if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return false;
    return true;
}

bool ReadAll(int fd, unsigned char* p, std::size_t n) {
    while (n > 0) {
        ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

enum class KeyRead { Ok, Missing, Unusable };

// A key file that exists but is not exactly what this library writes is
// never replaced: blobs made under it would be lost for good.
KeyRead ReadMasterKey(const std::string& path, MasterKey& key) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? KeyRead::Missing : KeyRead::Unusable;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
              st.st_size == static_cast<off_t>(kKeySize);
    if (ok && (st.st_mode & 077) != 0) ok = fchmod(fd, 0600) == 0;
    ok = ok && ReadAll(fd, key.bytes, kKeySize);
    close(fd);
    return ok ? KeyRead::Ok : KeyRead::Unusable;
}

void SyncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The key is written whole under a private name, then linked into place.
// link() never replaces an existing file, so when two processes race, exactly
// one key wins and the other side reads it back.
bool CreateMasterKey(const std::string& folder, const std::string& path, MasterKey& key) {
    unsigned char tag[8];
    if (RAND_bytes(key.bytes, kKeySize) != 1 || RAND_bytes(tag, sizeof tag) != 1) return false;
    char name[64];
    std::snprintf(name, sizeof name, "/.master.key.%ld.%02x%02x%02x%02x%02x%02x%02x%02x", static_cast<long>(getpid()),
                  tag[0], tag[1], tag[2], tag[3], tag[4], tag[5], tag[6], tag[7]);
    std::string temp = folder + name;
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool written = WriteAll(fd, key.bytes, kKeySize) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written) {
        unlink(temp.c_str());
        return false;
    }
    int linked = link(temp.c_str(), path.c_str());
    int linkError = errno;
    unlink(temp.c_str());
    if (linked == 0) {
        SyncFolder(folder);
        return true;
    }
    if (linkError != EEXIST) return false;
    return ReadMasterKey(path, key) == KeyRead::Ok;
}

bool LoadMasterKey(bool createWhenMissing, MasterKey& key) {
    std::string folder = KeyDirectory();
    if (folder.empty()) return false;
    std::string path = folder + "/" + kKeyFileName;
    if (!createWhenMissing) return ReadMasterKey(path, key) == KeyRead::Ok;
    if (!EnsurePrivateFolder(folder)) return false;
    switch (ReadMasterKey(path, key)) {
        case KeyRead::Ok: return true;
        case KeyRead::Missing: return CreateMasterKey(folder, path, key);
        case KeyRead::Unusable: break;
    }
    return false;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// EVP takes int lengths; longer inputs go in slices.
template <class Update>
bool FeedInSlices(const unsigned char* data, std::size_t size, Update update) {
    while (size > 0) {
        int slice = size > static_cast<std::size_t>(INT_MAX / 2) ? INT_MAX / 2 : static_cast<int>(size);
        if (!update(data, slice)) return false;
        data += slice;
        size -= static_cast<std::size_t>(slice);
    }
    return true;
}

const unsigned char* Bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }
unsigned char* Bytes(std::string& text) { return reinterpret_cast<unsigned char*>(&text[0]); }

bool IsBase64Letter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

unsigned Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : 63;
}

}  // namespace

std::string KeyDirectory() {
    {
        std::lock_guard<std::mutex> hold(OverrideLock());
        if (!OverrideFolder().empty()) return OverrideFolder();
    }
    // XDG says a relative XDG_DATA_HOME is invalid and must be ignored.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') return WithoutTrailingSlashes(dataHome) + "/movu_mt5";
    std::string home = HomeDirectory();
    if (home.empty() || home[0] != '/') return {};
    return WithoutTrailingSlashes(home) + "/.local/share/movu_mt5";
}

void SetKeyDirectoryForTests(const std::string& folder) {
    std::lock_guard<std::mutex> hold(OverrideLock());
    OverrideFolder() = WithoutTrailingSlashes(folder);
}

bool ProtectBytes(std::string_view plain, std::string_view description, std::string_view entropy, std::string& blob) {
    blob.clear();
    const std::string descriptionUtf8(description);
    if (descriptionUtf8.size() > 0xFFFF) return false;

    MasterKey key;
    if (!LoadMasterKey(true, key)) return false;

    std::string out;
    out.append(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    out.push_back(static_cast<char>(kVersion));
    out.push_back(static_cast<char>(descriptionUtf8.size() >> 8));
    out.push_back(static_cast<char>(descriptionUtf8.size() & 0xFF));
    out += descriptionUtf8;
    const std::size_t headerSize = out.size();
    out.resize(headerSize + kNonceSize + plain.size() + kTagSize);
    unsigned char* nonce = Bytes(out) + headerSize;
    unsigned char* cipherText = nonce + kNonceSize;
    unsigned char* tag = cipherText + plain.size();
    if (RAND_bytes(nonce, kNonceSize) != 1) return false;

    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) != 1) return false;
    auto addAad = [&](const unsigned char* p, int n) {
        int len = 0;
        return EVP_EncryptUpdate(ctx.get(), nullptr, &len, p, n) == 1;
    };
    unsigned char* write = cipherText;
    auto encrypt = [&](const unsigned char* p, int n) {
        int len = 0;
        if (EVP_EncryptUpdate(ctx.get(), write, &len, p, n) != 1) return false;
        write += len;
        return true;
    };
    int finalLen = 0;
    if (!FeedInSlices(Bytes(out), headerSize, addAad) || !FeedInSlices(Bytes(entropy), entropy.size(), addAad) ||
        !FeedInSlices(Bytes(plain), plain.size(), encrypt) || EVP_EncryptFinal_ex(ctx.get(), write, &finalLen) != 1 ||
        write + finalLen != tag ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) != 1)
        return false;
    blob.swap(out);
    return true;
}

bool UnprotectBytes(std::string_view blob, std::string_view entropy, std::string& plain) {
    plain.clear();
    if (blob.size() < kFixedHeaderSize + kNonceSize + kTagSize) return false;
    const unsigned char* p = Bytes(blob);
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0 || p[4] != kVersion) return false;
    const std::size_t descriptionSize = (static_cast<std::size_t>(p[5]) << 8) | p[6];
    const std::size_t headerSize = kFixedHeaderSize + descriptionSize;
    if (blob.size() < headerSize + kNonceSize + kTagSize) return false;
    const unsigned char* nonce = p + headerSize;
    const unsigned char* cipherText = nonce + kNonceSize;
    const std::size_t cipherSize = blob.size() - headerSize - kNonceSize - kTagSize;
    unsigned char tag[kTagSize];
    std::memcpy(tag, cipherText + cipherSize, kTagSize);

    MasterKey key;
    if (!LoadMasterKey(false, key)) return false;

    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) != 1) return false;
    std::string out(cipherSize, '\0');
    unsigned char* write = Bytes(out);
    auto addAad = [&](const unsigned char* q, int n) {
        int len = 0;
        return EVP_DecryptUpdate(ctx.get(), nullptr, &len, q, n) == 1;
    };
    auto decrypt = [&](const unsigned char* q, int n) {
        int len = 0;
        if (EVP_DecryptUpdate(ctx.get(), write, &len, q, n) != 1) return false;
        write += len;
        return true;
    };
    int finalLen = 0;
    bool ok = FeedInSlices(p, headerSize, addAad) && FeedInSlices(Bytes(entropy), entropy.size(), addAad) &&
              FeedInSlices(cipherText, cipherSize, decrypt) &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), write, &finalLen) == 1;
    if (!ok) {
        WipeSecret(out);
        return false;
    }
    plain.swap(out);
    return true;
}

bool Base64Encode(std::string_view bytes, std::string& text) {
    text.clear();
    if (bytes.empty()) return true;
    if (bytes.size() > static_cast<std::size_t>(INT_MAX / 4) * 3 - 3) return false;
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(Bytes(out), Bytes(bytes), static_cast<int>(bytes.size()));
    if (written < 0) return false;
    out.resize(static_cast<std::size_t>(written));
    text.swap(out);
    return true;
}

// Strict: the standard alphabet in whole groups of four, padding only at the
// end, and no stray bits in the last letter, so every byte string has exactly
// one accepted text. Space, tab, CR and LF at either end are ignored.
bool Base64Decode(std::string_view text, std::string& bytes) {
    bytes.clear();
    text = ascii::TrimSpace(text);
    if (text.empty()) return true;
    if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    const std::size_t letters = text.size() - padding;
    for (std::size_t i = 0; i < letters; ++i)
        if (!IsBase64Letter(static_cast<unsigned char>(text[i]))) return false;
    const unsigned last = Base64Value(static_cast<unsigned char>(text[letters - 1]));
    if ((padding == 2 && (last & 0x0F) != 0) || (padding == 1 && (last & 0x03) != 0)) return false;

    std::string out(text.size() / 4 * 3, '\0');
    int written = EVP_DecodeBlock(Bytes(out), Bytes(text), static_cast<int>(text.size()));
    if (written < 0 || static_cast<std::size_t>(written) != out.size()) return false;
    out.resize(out.size() - padding);
    bytes.swap(out);
    return true;
}

bool Sha256(std::string_view bytes, unsigned char digest[32]) {
    unsigned int size = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) == 1 && size == 32;
}

void WipeSecret(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
    secret.clear();
}

void WipeSecret(std::u16string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size() * sizeof(char16_t));
    secret.clear();
}

}  // namespace movu::platform
