// Text protection and opening a URL, through the library's exports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

#include "api_fixture.h"
#include "guarded_buffer.h"
#include "movu_mt5.h"
#include "temp_folder.h"

namespace fs = std::filesystem;

namespace {

using movu::test::W;
using movu::test::Widen;

// A folder of the test's own, and on POSIX one environment value set for
// this test only; both are undone afterwards.
class Scratch : public ::testing::Test {
protected:
#ifndef _WIN32
    ~Scratch() override {
        if (name_) had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_);
    }
    void SetEnv(const char* name, const std::string& value) {
        const char* old = std::getenv(name);
        name_ = name, had_ = old != nullptr, old_ = old ? old : "";
        setenv(name, value.c_str(), 1);
    }
    const char* name_ = nullptr;
    bool had_ = false;
    std::string old_;
#endif
    movu::test::TempFolder folder_{"prot-api"};
    const fs::path& dir_ = folder_.path();
};

class TextProtection : public Scratch {
protected:
    // The user's master key is made in the test's own folder.
    void SetUp() override {
#ifndef _WIN32
        SetEnv("XDG_DATA_HOME", dir_.string());
#endif
    }
    // Either export into a large buffer; the text it left there in `out`.
    static int Call(int32_t (*fn)(const movu_char16*, char*, int32_t), const std::u16string& text, std::string& out) {
        std::vector<char> buffer(4096, 'x');
        const int r = fn(W(text), buffer.data(), 4096);
        out = buffer.data();
        return r;
    }
    static int Protect(const std::u16string& text, std::string& out) { return Call(Movu_ProtectTextW, text, out); }
    static int Unprotect(const std::string& text, std::string& out) {
        return Call(Movu_UnprotectTextW, Widen(text), out);
    }
};

}  // namespace

TEST_F(TextProtection, RoundTripKeepsTheTrimmedTextAsUtf8) {
    std::string protectedText, plain;
    ASSERT_EQ(Protect(u"  secret\r\n", protectedText), 0);
    ASSERT_FALSE(protectedText.empty());
    EXPECT_EQ(protectedText.find_first_of(" \r\n"), std::string::npos);
    for (const std::string& text : {protectedText, protectedText + "\r\n", "  " + protectedText + "  "}) {
        ASSERT_EQ(Unprotect(text, plain), 0) << text;
        EXPECT_EQ(plain, "secret");
    }
    ASSERT_EQ(Protect(u"\u3000Gr\u00fc\u00dfe \u20ac\U0001F600\u00a0", protectedText), 0);
    ASSERT_EQ(Unprotect(protectedText, plain), 0);
    EXPECT_EQ(plain,
              "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x82\xAC\xF0\x9F\x98\x80");
    for (const auto& [text, rc] : {std::pair{"this is not base64!", -2}, {"QUJDREVGR0hJSktMTU5PUA==", -3}}) {
        EXPECT_EQ(Unprotect(text, plain), rc);
        EXPECT_EQ(plain, "");
    }
}

TEST_F(TextProtection, EmptyInputsTinyBuffersAndMissingArguments) {
    // Every call empties the buffer first; blank text is done at once.
    using Fn = int32_t (*)(const movu_char16*, char*, int32_t);
    const struct {
        Fn fn;
        const char16_t* text;
        int rc;
    } cases[] = {{Movu_ProtectTextW, u" \t\r\n\u3000", 0},
                 {Movu_UnprotectTextW, u" \r\n", 0},
                 {Movu_ProtectTextW, nullptr, -1},
                 {Movu_UnprotectTextW, nullptr, -1}};
    for (const auto& c : cases) {
        GuardedBuffer<char> out(16);
        out.data()[0] = 'x';
        EXPECT_EQ(c.fn(c.text ? W(c.text) : nullptr, out.data(), 16), c.rc);
        EXPECT_TRUE(out.data()[0] == '\0' && out.GuardsIntact());
    }
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(dir_ / "movu_mt5")) << "nothing to protect, yet the protection service was used";
#endif
    GuardedBuffer<char> one(1);  // a result cut to nothing
    EXPECT_EQ(Movu_ProtectTextW(W(u"secret"), one.data(), 1), 0);
    EXPECT_TRUE(one.data()[0] == '\0' && one.GuardsIntact());
    for (int capacity : {16, 0, -1}) {
        GuardedBuffer<char> untouched(8);
        EXPECT_EQ(Movu_ProtectTextW(W(u"secret"), capacity == 16 ? nullptr : untouched.data(), capacity), -1);
        EXPECT_EQ(Movu_UnprotectTextW(W(u"QUJD"), capacity == 16 ? nullptr : untouched.data(), capacity), -1);
        EXPECT_TRUE(untouched.Untouched()) << "capacity " << capacity;
    }
}

TEST_F(TextProtection, CutResultsStayInsideTheBufferAndDoNotUnprotect) {
    std::string full, plain;
    ASSERT_EQ(Protect(u"secret", full), 0);
    ASSERT_GT(full.size(), 16u);
    const int exact = static_cast<int>(full.size()) + 1;
    for (int capacity = 2; capacity <= exact + 1; ++capacity) {  // below 2: the test above
        GuardedBuffer<char> out(capacity);
        ASSERT_EQ(Movu_ProtectTextW(W(u"secret"), out.data(), capacity), 0) << capacity;
        EXPECT_TRUE(out.GuardsIntact()) << capacity;
        const std::string cut(out.data());
        ASSERT_EQ(cut.size(), static_cast<std::size_t>(std::min(capacity, exact) - 1));
        const int r = Unprotect(cut, plain);
        if (capacity >= exact) {
            EXPECT_EQ(r, 0);
            continue;
        }
#ifndef _WIN32
        // Whole groups of four still decode but do not open; anything else is
        // not base64.
        EXPECT_EQ(r, cut.size() % 4 == 0 ? -3 : -2) << capacity;
        EXPECT_EQ(plain, "");
#else
        // Which code a damaged blob gets is the decoder's and DPAPI's
        // business; what is sure: it does not open and nothing is written,
        // unless only the last group of four was cut (padding, or a partial
        // group the decoder drops: Wine's DPAPI then ignores the missing
        // tail), and then it is the whole secret or nothing.
        if (r == 0) {
            EXPECT_LT(full.size() - cut.size(), 4u) << "a text cut by " << full.size() - cut.size() << " opened";
            EXPECT_EQ(plain, "secret") << capacity;
        } else {
            EXPECT_TRUE(r == -2 || r == -3) << r << " at capacity " << capacity;
            EXPECT_EQ(plain, "") << capacity;
        }
#endif
    }
    GuardedBuffer<char> small(4);
    ASSERT_EQ(Movu_UnprotectTextW(W(Widen(full)), small.data(), 4), 0);
    EXPECT_STREQ(small.data(), "sec");
    EXPECT_TRUE(small.GuardsIntact());
}

// ---- opening a URL ----------------------------------------------------------------------

#ifdef _WIN32
TEST(OpenUrl, BlankTextIsRefusedAndSoIsWhatTheShellCannotOpen) {
    EXPECT_EQ(Movu_OpenUrl(nullptr), -1);
    EXPECT_EQ(Movu_OpenUrl(W(u"")), -1);
    EXPECT_EQ(Movu_OpenUrl(W(u" \t\r\n\u3000")), -1);
    EXPECT_EQ(Movu_OpenUrl(W(u"  C:\\movu-missing-folder\\nothing-here.movutest \r\n")), -2);
    EXPECT_EQ(Movu_OpenUrl(W(u"movu-nohandler-x:abc")), -2);
}
#else
// A stand-in opener, alone on PATH, that records each argument it receives
// followed by a NUL byte and exits with a chosen status. With nothing else on
// PATH no real desktop opener can be reached from here.
class OpenUrlDesktop : public Scratch {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "bin");
        SetEnv("PATH", (dir_ / "bin").string());
    }
    void InstallOpener(int exitStatus, const std::string& then = "") {
        const fs::path script = dir_ / "bin" / "xdg-open";
        std::ofstream(script, std::ios::trunc)
            << "#!/bin/sh\n: > '" << record_.string() << "'\n"
            << "for a in \"$@\"; do printf '%s\\0' \"$a\" >> '" << record_.string() << "'; done\n"
            << then << "exit " << exitStatus << "\n";
        fs::permissions(script, fs::perms::owner_all);
    }
    std::vector<std::string> RecordedArguments() const {
        std::ifstream in(record_, std::ios::binary);
        const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1)
            args.push_back(raw.substr(start, end - start));
        return args;
    }
    fs::path record_ = dir_ / "argv.bin";
};

TEST_F(OpenUrlDesktop, HandsOverTheTrimmedTextAsOneArgumentWithoutAShell) {
    InstallOpener(0);
    EXPECT_EQ(Movu_OpenUrl(W(u"  http://127.0.0.1:9/path?a=1&b=2\r\n")), 0);
    EXPECT_EQ(RecordedArguments(), std::vector<std::string>{"http://127.0.0.1:9/path?a=1&b=2"});

    const std::string hostile = "http://127.0.0.1/a b\"c'd;touch " + (dir_ / "pwned").string() + " $(id)`id`";
    EXPECT_EQ(Movu_OpenUrl(W(Widen(hostile))), 0);
    EXPECT_EQ(RecordedArguments(), std::vector<std::string>{hostile});
    EXPECT_FALSE(fs::exists(dir_ / "pwned")) << "the text went through a shell";
}

// An opener that keeps running (a browser in the foreground) is not waited
// for, and is reaped once it ends.
TEST_F(OpenUrlDesktop, ARunningOpenerIsNotWaitedForAndLeavesNoZombie) {
    const fs::path pidFile = dir_ / "opener.pid";
    InstallOpener(0, "echo $$ > '" + pidFile.string() + "'\nexec /bin/sleep 60 >/dev/null 2>&1\n");
    EXPECT_EQ(Movu_OpenUrl(W(u"http://127.0.0.1:9/")), 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pid_t pid = 0;
    while (!(std::ifstream(pidFile) >> pid) && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(pid, 0);
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::string state;
    std::ifstream(proc / "stat") >> state >> state >> state;  // pid (comm) state
    EXPECT_NE(state, "Z") << "the call waited for the opener to end";
    ASSERT_TRUE(fs::exists(proc)) << "the call waited for the opener to end";
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    while (fs::exists(proc) && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(fs::exists(proc)) << "the ended opener stays a zombie";
}

TEST_F(OpenUrlDesktop, BlankTextNeverStartsTheOpenerAndARefusalGivesMinusTwo) {
    InstallOpener(1);
    for (const char16_t* blank : {u"", u" \t\r\n\u3000"}) EXPECT_EQ(Movu_OpenUrl(W(blank)), -1);
    EXPECT_EQ(Movu_OpenUrl(nullptr), -1);
    EXPECT_FALSE(fs::exists(record_));
    EXPECT_EQ(Movu_OpenUrl(W(u"movu-nohandler-x:abc")), -2);
    EXPECT_EQ(RecordedArguments(), std::vector<std::string>{"movu-nohandler-x:abc"});
    fs::remove(dir_ / "bin" / "xdg-open");
    EXPECT_EQ(Movu_OpenUrl(W(u"http://127.0.0.1/")), -2);
}
#endif
