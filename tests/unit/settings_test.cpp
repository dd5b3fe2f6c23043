// The settings record through the setters: list splitting, defaults,
// unusable text, the 8-bit forms, and concurrent writers and readers.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "api/process_lock.h"
#include "movu_mt5.h"
#include "settings/client_settings.h"
#include "test_hooks.h"

using namespace movu;

namespace {

const movu_char16* W(const char16_t* s) { return reinterpret_cast<const movu_char16*>(s); }

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(ProcessLock());
        Settings() = ClientSettings{{}, MakeBaseUrl(DefaultPrimaryBaseUrl()), {}, {}};
    }
};

using List = std::vector<std::string>;

}  // namespace

TEST_F(SettingsTest, DefaultsSecondaryFirstUntilAListIsSet) {
    EXPECT_TRUE(SnapshotBaseUrls().empty());
    EXPECT_EQ(SnapshotCurrentBaseUrl().text, "https://" MOVU_PRIMARY_HOST);
    ApplyDefaultBaseUrlsIfUnset();
    const List expected{"https://" + std::string(SecondaryHostName()), "https://" MOVU_PRIMARY_HOST};
    EXPECT_EQ(SnapshotBaseUrls(), expected);
    EXPECT_EQ(SnapshotCurrentBaseUrl().text, expected[0]);
    Movu_SetBaseUrl(W(u"  https://one.test/v2/\u3000"));
    ApplyDefaultBaseUrlsIfUnset();
    EXPECT_EQ(SnapshotBaseUrls(), List{"https://one.test/v2/"});
}

// Lists split on six delimiters; text with nothing usable changes nothing;
// the 8-bit forms take UTF-16 text too.
TEST_F(SettingsTest, TextIsSplitTrimmedAndUnusableTextChangesNothing) {
    const char wide[] = {'h', 0, 't', 0, 't', 0, 'p', 0, ':', 0, '/', 0, '/', 0, 'x', 0, 0, 0};
    const std::pair<const char16_t*, List> cases[] = {
        {u" u1 ;u2,,u3\r\n", {"u1", "u2", "u3"}},
        {u"u1;u1\fu2", {"u1", "u1\fu2"}},
        {u"a\tb c\u00a0", {"a", "b", "c"}},
    };
    for (const auto& [text, list] : cases) {
        Movu_SetBaseUrls(W(text));
        EXPECT_EQ(SnapshotBaseUrls(), list);
        EXPECT_EQ(SnapshotCurrentBaseUrl().text, list.front());
    }
    Movu_SetBaseUrlA(wide);
    EXPECT_EQ(SnapshotBaseUrls(), List{"http://x"});
    Movu_SetBaseUrlsA(" a;b ");
    for (const char16_t* text : {u";;, ,", u" \u00a0 ", u""}) Movu_SetBaseUrls(W(text));
    Movu_SetBaseUrl(W(u" \u00a0 \t"));
    Movu_SetBaseUrl(nullptr);
    Movu_SetBaseUrlsA("  ");
    EXPECT_EQ(SnapshotBaseUrls(), (List{"a", "b"}));
    EXPECT_EQ(SnapshotCurrentBaseUrl().text, "a");
    // The secret and the data path are trimmed and may be set to empty text.
    Movu_SetProductSecretA(" s\xC3\xBC ");
    EXPECT_EQ(SnapshotProductSecret(), "s\xC3\xBC");
    Movu_SetTerminalDataPath(W(u" C:\\Term\\Data\\ "));
    EXPECT_EQ(SnapshotTerminalDataPath(), "C:\\Term\\Data\\");
    Movu_SetProductSecret(nullptr);
    Movu_SetTerminalDataPath(W(u""));
    EXPECT_EQ(SnapshotProductSecret() + SnapshotTerminalDataPath(), "");
}

TEST_F(SettingsTest, ConcurrentSettersAndReadersSeeWholeLists) {
    std::vector<std::thread> threads;
    std::atomic<bool> torn{false};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &torn] {
            for (int i = 0; i < 500; ++i) {
                Movu_SetBaseUrls(W(t % 2 ? u"a1;a2;a3" : u"b1;b2;b3"));
                Movu_SetTerminalDataPath(W(t % 2 ? u"/p/one" : u"/p/two"));
                const List l = SnapshotBaseUrls();
                const std::string p = SnapshotTerminalDataPath();
                torn = torn || (l != List{"a1", "a2", "a3"} && l != List{"b1", "b2", "b3"}) ||
                       (p != "/p/one" && p != "/p/two");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(torn.load());
}
