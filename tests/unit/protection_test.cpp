// Protected text, hashing, base64, and the per-account token cache file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "settings/client_settings.h"
#include "temp_folder.h"
#include "token/client_token.h"
#include "token/protected_text.h"
#include "token/token_cache.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/key_store.h"
#endif

using namespace movu;
using movu::test::TempFolder;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kEntropy = "zq_entropy_k7_v1";
constexpr std::int64_t k2030 = 1893456000;  // 2030-01-01T00:00:00Z

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& file, std::string_view content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace

TEST(Base64, KnownVectorsRoundTripsAndStrictDecoding) {
    std::string text = "x", bytes;
    EXPECT_TRUE(Base64Encode("", text) && text.empty());
    // Every length around the group size, with zero and high bytes, and long
    // enough that an encoder adding line breaks would show it.
    for (std::size_t n = 1; n <= 200; n += (n < 10 ? 1 : 37)) {
        std::string plain, decoded;
        for (std::size_t i = 0; i < n; ++i) plain.push_back(static_cast<char>((i * 97) & 0xFF));
        ASSERT_TRUE(Base64Encode(plain, text));
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        ASSERT_TRUE(platform::Base64Decode(text, decoded));
        EXPECT_EQ(decoded, plain) << "length " << n;
    }
    EXPECT_TRUE(platform::Base64Decode(" \tZm9vYmFy\r\n", bytes));
    EXPECT_EQ(bytes, "foobar");
#ifndef _WIN32
    // Cut groups, inner padding, stray bits under the padding, inner white
    // space, the URL alphabet.
    for (const char* bad : {"Zm9v*mFy", "Zm9vY", "Zg==Zg==", "Zh==", "Zm9=", "Zm9v YmFy", "Zm9v-_Fy", "===="}) {
        bytes = "stale";
        EXPECT_FALSE(platform::Base64Decode(bad, bytes)) << bad;
        EXPECT_TRUE(bytes.empty()) << bad;
    }
#endif
}

TEST(CachePath, NamesTheFileAfterTheAccountHashUnderTheDataPath) {
    const std::string sep(1, platform::PathSeparator());
    // SHA-256 of the five bytes 12345 begins 5994471abb01112a.
    const std::string tail = "MQL4" + sep + "Files" + sep + "qz_movu" + sep + "token_5994471abb01112a.dat";
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Term\\Data", "C:\\Term\\Data" + sep + tail},
        {"C:/Term/Data/", "C:/Term/Data/" + tail},
        {"  \t ", ""},  // no data path, no file
    };
    for (const auto& [dataPath, path] : cases) {
        SetTerminalDataPath(dataPath);
        EXPECT_EQ(TokenCachePath("12345"), path) << dataPath;
    }
    SetTerminalDataPath("/d");
    EXPECT_NE(TokenCachePath("acct"), TokenCachePath("ACCT"));
    SetTerminalDataPath("");
}

// ---- protection -----------------------------------------------------------------------

class ProtectionTest : public ::testing::Test {
protected:
#ifndef _WIN32
    void SetUp() override { platform::SetKeyDirectoryForTests((keys_.path() / "keys").string()); }
    void TearDown() override { platform::SetKeyDirectoryForTests(""); }
#endif
    TempFolder keys_{"prot-keys"};
};

// Round trips and refusals are checked through the exports; here: no two
// blobs alike, and another entropy's blob refused.
TEST_F(ProtectionTest, AFreshBlobEachTimeForThisEntropyOnly) {
    std::string first, second, blob, back;
    ASSERT_EQ(ProtectToText("secret", first), ProtectOutcome::Ok);
    ASSERT_EQ(ProtectToText("secret", second), ProtectOutcome::Ok);
    EXPECT_NE(first, second) << "two protections of one text must not look alike";
    ASSERT_TRUE(platform::ProtectBytes("secret", "qz_movu", "zq_entropy_k7_v2", blob));
    ASSERT_TRUE(Base64Encode(blob, first));
    EXPECT_EQ(UnprotectFromText(first, back), UnprotectOutcome::UnprotectFailed);
    EXPECT_EQ(back, "");
}

#ifndef _WIN32
TEST_F(ProtectionTest, BlobIsVersionedAndEveryPartIsAuthenticated) {
    std::string blob, plain;
    ASSERT_TRUE(platform::ProtectBytes("secret", "qz_movu", kEntropy, blob));
    ASSERT_EQ(blob.size(), 4 + 1 + 2 + 7 + 12 + 6 + 16u);
    EXPECT_EQ(blob.substr(0, 14), std::string("MVPB\x01\x00\x07qz_movu", 14));
    EXPECT_EQ(blob.find("secret"), std::string::npos);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        std::string damaged = blob;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x01);
        EXPECT_FALSE(platform::UnprotectBytes(damaged, kEntropy, plain)) << "byte " << i;
        EXPECT_EQ(plain, "");
    }
    for (const std::string& cut : {blob.substr(0, 20), blob.substr(0, blob.size() - 1), blob + "x"})
        EXPECT_FALSE(platform::UnprotectBytes(cut, kEntropy, plain)) << cut.size();
    // The description travels in the blob: reading needs only the entropy.
    ASSERT_TRUE(platform::ProtectBytes("other", "elsewhere", kEntropy, blob));
    ASSERT_TRUE(platform::UnprotectBytes(blob, kEntropy, plain));
    EXPECT_EQ(plain, "other");
}

TEST_F(ProtectionTest, RefusesAnotherMasterKeysBlobAndNeverReplacesAnUnusableKeyFile) {
    std::string mine, theirs, plain;
    ASSERT_EQ(ProtectToText("secret", mine), ProtectOutcome::Ok);
    TempFolder other{"prot-other-user"};
    platform::SetKeyDirectoryForTests((other.path() / "keys").string());
    EXPECT_EQ(UnprotectFromText(mine, plain), UnprotectOutcome::UnprotectFailed);
    EXPECT_FALSE(fs::exists(other.path() / "keys" / "master.key")) << "reading must not make a key";
    ASSERT_EQ(ProtectToText("secret", theirs), ProtectOutcome::Ok);
    fs::create_directories(other.path() / "bad");
    WriteAll(other.path() / "bad" / "master.key", "short");
    platform::SetKeyDirectoryForTests((other.path() / "bad").string());
    EXPECT_EQ(ProtectToText("secret", plain), ProtectOutcome::ProtectFailed);
    EXPECT_EQ(plain, "");
    EXPECT_EQ(ReadAll(other.path() / "bad" / "master.key"), "short");

    platform::SetKeyDirectoryForTests((keys_.path() / "keys").string());
    EXPECT_EQ(UnprotectFromText(theirs, plain), UnprotectOutcome::UnprotectFailed);
    ASSERT_EQ(UnprotectFromText(mine, plain), UnprotectOutcome::Ok);
    EXPECT_EQ(plain, "secret");
}

TEST_F(ProtectionTest, FirstUseFromManyThreadsAgreesOnOnePrivateKey) {
    constexpr int kThreads = 8;
    std::vector<std::string> texts(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (++ready; ready.load() < kThreads;) std::this_thread::yield();
            ProtectToText("t" + std::to_string(i), texts[i]);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        std::string plain;
        EXPECT_EQ(UnprotectFromText(texts[i], plain), UnprotectOutcome::Ok) << i;
        EXPECT_EQ(plain, "t" + std::to_string(i));
    }
    const fs::path folder = keys_.path() / "keys";
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"master.key"}) << "temporary key files left behind";
    struct stat dir {
    }, key{};
    ASSERT_EQ(stat(folder.c_str(), &dir) | stat((folder / "master.key").c_str(), &key), 0);
    EXPECT_EQ(std::make_pair(dir.st_mode & 0777, key.st_mode & 0777), std::make_pair(0700u, 0600u));
    EXPECT_EQ(key.st_size, 32);
}

TEST(KeyDirectory, FollowsXdgDataHomeThenHome) {
    const std::string xdg = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_DATA_HOME", "/xdg/data/", 1);
    EXPECT_EQ(platform::KeyDirectory(), "/xdg/data/movu_mt5");
    setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
    EXPECT_EQ(platform::KeyDirectory(), "/home/someone/.local/share/movu_mt5");
    xdg.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    home.empty() ? unsetenv("HOME") : setenv("HOME", home.c_str(), 1);
}
#endif

// ---- the token cache file ------------------------------------------------------------------

class TokenCacheTest : public ProtectionTest {
protected:
    void SetUp() override {
        ProtectionTest::SetUp();
        SetTerminalDataPath(data_.path().string());
    }
    void TearDown() override {
        Load("");
        SetTerminalDataPath("");
        ProtectionTest::TearDown();
    }
    static void Save(std::string_view token, std::int64_t expiry) {
        std::lock_guard<std::mutex> lock(TokenLock());
        SaveTokenCache("10001", token, expiry);
    }
    // Loads into an empty token record; gives what loading left there.
    static std::string Load(std::string_view account = "10001") {
        std::lock_guard<std::mutex> lock(TokenLock());
        ClearTokenState();
        if (!LoadTokenCache(account)) return "none " + TokenState().token;
        return TokenState().token + " " + TokenState().ownerAccount + " " + std::to_string(TokenState().expiry);
    }
    fs::path File() const { return fs::path(TokenCachePath("10001")); }
    TempFolder data_{"prot-data"};
};

// One line of base64 of the account's own, whatever white space around it,
// loads back; anything damaged or oversize is ignored and the next save wins.
TEST_F(TokenCacheTest, OneBase64LineLoadsBackAndAnythingElseIsIgnored) {
    Save("first-token-long-enough-to-matter", k2030);
    Save("SeCrEt-Token-42", k2030);
    ASSERT_EQ(File().parent_path(), data_.path() / "MQL4" / "Files" / "qz_movu");
    const std::string content = ReadAll(File());
    EXPECT_EQ(content.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << "not one line of base64: " << content;
    std::string plain, flipped = content, badTime;
    ASSERT_EQ(UnprotectFromText(content, plain), UnprotectOutcome::Ok);
    EXPECT_EQ(plain, "{\"ok\":true,\"token\":\"SeCrEt-Token-42\",\"expires_at\":\"2030-01-01T00:00:00Z\"}");
    WriteAll(File(), "  " + content + " \r\n");
    EXPECT_EQ(Load(), "SeCrEt-Token-42 10001 " + std::to_string(k2030));
    EXPECT_EQ(Load("10002"), "none ") << "another account has no file";

    flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == 'A' ? 'B' : 'A';
    ASSERT_EQ(ProtectToText("{\"token\":\"t\",\"expires_at\":\"2030-01-01 00:00:00Z\"}", badTime), ProtectOutcome::Ok);
    for (const std::string& bad : {std::string(" \r\n"), content.substr(0, content.size() - 5), flipped, badTime}) {
        WriteAll(File(), bad);
        EXPECT_EQ(Load(), "none ") << bad;
    }
    // An expiry in the past is written and loaded all the same.
    Save("second", 1000);
    ASSERT_EQ(UnprotectFromText(ReadAll(File()), plain), UnprotectOutcome::Ok);
    EXPECT_EQ(plain, "{\"ok\":true,\"token\":\"second\",\"expires_at\":\"1970-01-01T00:16:40Z\"}");
    EXPECT_EQ(Load(), "second 10001 1000");
    // A file longer than the read limit is not taken.
    Save(std::string(1500, 'k'), k2030);
    ASSERT_LT(fs::file_size(File()), kTokenCacheReadLimit);
    EXPECT_NE(Load().substr(0, 5), "none ");
    Save(std::string(4000, 'k'), k2030);
    ASSERT_GT(fs::file_size(File()), kTokenCacheReadLimit);
    EXPECT_EQ(Load(), "none ");

    // Without a data path nothing is written or read.
    fs::remove_all(data_.path() / "MQL4");
    SetTerminalDataPath("");
    Save("tok", k2030);
    EXPECT_TRUE(fs::is_empty(data_.path()));
    EXPECT_EQ(Load(), "none ");
}
