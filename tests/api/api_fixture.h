// Shared ground for tests through the exports. All tests of the binary share
// one library state, so each test brings its own site, base URL, data folder
// and account.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "movu_mt5.h"
#include "temp_folder.h"
#include "testservice_client.h"

namespace movu::test {

inline const movu_char16* W(const char16_t* s) { return reinterpret_cast<const movu_char16*>(s); }
inline const movu_char16* W(const std::u16string& s) { return W(s.c_str()); }

// ASCII only: URLs, account names, tokens.
inline std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

inline constexpr const char* kTokenPath = "/v1/client/token.php";

// A finished (or vanished) job as Movu_PollA reports it.
struct Outcome {
    int32_t rc = 0;
    int32_t state = 0;
    int32_t http = 0;
    std::string text;
};

// Polls until the job is no longer running; a job that never finishes fails
// the test instead of hanging it.
inline Outcome WaitFinished(int32_t id, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<char> buffer(1 << 16);
    Outcome o;
    for (;;) {
        o.rc = Movu_PollA(id, &o.state, &o.http, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (o.rc == -2 || o.state != 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "job " << id << " still running";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    o.text = o.state != 0 ? std::string(buffer.data()) : std::string();
    return o;
}

inline std::string UniqueAccount(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return stem + "-" + std::to_string(salt % 100000) + "-" + std::to_string(++counter);
}

// One site of the test service as the library's base URL, a fresh terminal
// data folder and an account no other test uses.
class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestService& service = TestService::Instance();
        ASSERT_TRUE(service.available()) << service.error();
        site_.emplace(service.OpenSite());
        UseBaseUrl(site_->BaseUrl());
        data_.emplace("api-data");
#ifndef _WIN32
        // The protected cache file needs a user key: keep it out of the user's
        // home. Set once, so that no later test changes it under a running worker.
        static const bool keyHomeSet = [this] {
            const std::filesystem::path home = data_->path().parent_path() / "api-key-home";
            return setenv("XDG_DATA_HOME", home.string().c_str(), 1) == 0;
        }();
        ASSERT_TRUE(keyHomeSet);
#endif
        dataPath_ = data_->path().u16string() + u"/terminal";
        Movu_SetTerminalDataPath(W(dataPath_));
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        NewAccount(info ? info->name() : "account");
    }

    void TearDown() override { Movu_SetTerminalDataPath(W(u"")); }

    Site& site() { return *site_; }
    const movu_char16* account() const { return W(account_); }
    std::string accountUtf8() const { return account8_; }
    // Switches the test to an account nobody has used yet.
    void NewAccount(const std::string& stem) {
        account8_ = UniqueAccount(stem);
        account_ = Widen(account8_);
    }

    static void UseBaseUrl(const std::string& url) { Movu_SetBaseUrl(W(Widen(url))); }
    // Without a data path no cache file is read or written.
    static void UseNoCacheFile() { Movu_SetTerminalDataPath(W(u"")); }

    void ScriptToken(const std::string& token, bool repeat = true) {
        site().Script(kTokenPath, TokenAnswer(token, repeat));
    }

    std::optional<Site> site_;
    std::optional<TempFolder> data_;
    std::u16string dataPath_;
    std::u16string account_;
    std::string account8_;  // the same account, 8-bit
};

}  // namespace movu::test
