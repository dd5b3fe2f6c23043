// The settings record: setters, list splitting, default installation, and
// concurrent writers and readers.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "api/process_lock.h"
#include "movu_mt5.h"
#include "settings/client_settings.h"

using namespace movu;

namespace {

const movu_char16* W(const char16_t* s) { return reinterpret_cast<const movu_char16*>(s); }

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(ProcessLock());
        Settings() = ClientSettings{{}, DefaultPrimaryBaseUrl(), {}, {}};
    }
};

using List = std::vector<std::u16string>;

}  // namespace

TEST_F(SettingsTest, StartsOnThePrimaryHostAndInstallsDefaultsOnce) {
    EXPECT_TRUE(SnapshotBaseUrls().empty());
    EXPECT_EQ(SnapshotCurrentBaseUrl(), u"https://" + std::u16string(u"" MOVU_PRIMARY_HOST));
    ApplyDefaultBaseUrlsIfUnset();
    List expected{u"https://" + std::u16string(SecondaryHostName()), u"https://" MOVU_PRIMARY_HOST};
    EXPECT_EQ(SnapshotBaseUrls(), expected);
    EXPECT_EQ(SnapshotCurrentBaseUrl(), expected[0]);
    Movu_SetBaseUrl(W(u"u9"));
    ApplyDefaultBaseUrlsIfUnset();
    EXPECT_EQ(SnapshotBaseUrls(), List{u"u9"});
}

TEST_F(SettingsTest, SplitsOnTheSixDelimitersOnly) {
    Movu_SetBaseUrls(W(u" u1 ;u2,,u3\r\n"));
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"u1", u"u2", u"u3"}));
    EXPECT_EQ(SnapshotCurrentBaseUrl(), u"u1");
    Movu_SetBaseUrls(W(u"u1;u1"));
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"u1", u"u1"}));
    Movu_SetBaseUrls(W(u"u1\fu2"));
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"u1\fu2"}));
    Movu_SetBaseUrls(W(u"a\tb c"));
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"a", u"b", u"c"}));
}

TEST_F(SettingsTest, UnusableTextChangesNothing) {
    Movu_SetBaseUrls(W(u"keep1;keep2"));
    for (const char16_t* text : {u";;, ,", u" \u00a0 ", u""}) Movu_SetBaseUrls(W(text));
    for (const char16_t* text : {u" \u00a0 \t", u""}) Movu_SetBaseUrl(W(text));
    Movu_SetBaseUrl(nullptr);
    Movu_SetBaseUrls(nullptr);
    Movu_SetBaseUrlA(nullptr);
    Movu_SetBaseUrlsA("  ");
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"keep1", u"keep2"}));
    EXPECT_EQ(SnapshotCurrentBaseUrl(), u"keep1");
}

TEST_F(SettingsTest, SingleSetterReplacesTheWholeList) {
    Movu_SetBaseUrls(W(u"a;b;c"));
    Movu_SetBaseUrl(W(u"  https://one.test/v2/  "));
    EXPECT_EQ(SnapshotBaseUrls(), List{u"https://one.test/v2/"});
    EXPECT_EQ(SnapshotCurrentBaseUrl(), u"https://one.test/v2/");
}

TEST_F(SettingsTest, EightBitSettersAcceptUtf16Arguments) {
    const char wide[] = {'h', 0, 't', 0, 't', 0, 'p', 0, ':', 0, '/', 0, '/', 0, 'x', 0, 0, 0};
    Movu_SetBaseUrlA(wide);
    EXPECT_EQ(SnapshotBaseUrls(), List{u"http://x"});
    Movu_SetBaseUrlsA(" a;b ");
    EXPECT_EQ(SnapshotBaseUrls(), (List{u"a", u"b"}));
    Movu_SetProductSecretA(" s\xC3\xBC ");
    EXPECT_EQ(SnapshotProductSecret(), "s\xC3\xBC");
    Movu_SetTerminalDataPathA(wide);
    EXPECT_EQ(SnapshotTerminalDataPath(), "http://x");
}

TEST_F(SettingsTest, SecretAndPathStoreEmptyTextToo) {
    Movu_SetTerminalDataPath(W(u" C:\\Term\\Data\\ "));
    EXPECT_EQ(SnapshotTerminalDataPath(), "C:\\Term\\Data\\");
    Movu_SetTerminalDataPath(W(u""));
    EXPECT_EQ(SnapshotTerminalDataPath(), "");
    Movu_SetProductSecret(W(u"secret"));
    Movu_SetProductSecret(nullptr);
    EXPECT_EQ(SnapshotProductSecret(), "");
}

TEST_F(SettingsTest, ConcurrentSettersAndReadersSeeWholeLists) {
    std::vector<std::thread> threads;
    std::atomic<bool> torn{false};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                if (t % 2)
                    Movu_SetBaseUrls(W(u"a1;a2;a3"));
                else
                    Movu_SetBaseUrls(W(u"b1;b2;b3"));
                Movu_SetTerminalDataPath(W(t % 2 ? u"/p/one" : u"/p/two"));
            }
        });
        threads.emplace_back([&torn] {
            const List defaults{DefaultSecondaryBaseUrl(), DefaultPrimaryBaseUrl()};
            for (int i = 0; i < 500; ++i) {
                List l = SnapshotBaseUrls();
                if (!l.empty() && !(l == List{u"a1", u"a2", u"a3"} || l == List{u"b1", u"b2", u"b3"} || l == defaults))
                    torn = true;
                std::string p = SnapshotTerminalDataPath();
                if (!p.empty() && p != "/p/one" && p != "/p/two") torn = true;
                ApplyDefaultBaseUrlsIfUnset();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(torn.load());
}
