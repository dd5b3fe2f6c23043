// The library as the terminal meets it: loaded at run time, called through
// looked-up symbols, unloaded, loaded again.
#include <gtest/gtest.h>

#include <string>

#include "movu_mt5.h"
#include "library_loader.h"

TEST(Load, LoadsCallsAndUnloadsRepeatedly) {
    for (int round = 0; round < 3; ++round) {
        movu::test::Library lib(movu::test::Library::DefaultPath());
        ASSERT_TRUE(lib.loaded()) << lib.error();
        auto setUrls = lib.Symbol<void(MOVU_CALL*)(const movu_char16*)>("Movu_SetBaseUrls");
        auto setPathA = lib.Symbol<void(MOVU_CALL*)(const char*)>("Movu_SetTerminalDataPathA");
        ASSERT_NE(setUrls, nullptr);
        ASSERT_NE(setPathA, nullptr);
        setUrls(reinterpret_cast<const movu_char16*>(u"https://a.test;https://b.test"));
        setPathA(nullptr);
        setPathA("x");
        EXPECT_EQ(lib.Symbol<void (*)()>("EnsureDefaultBaseUrls"), nullptr) << "internal name exported";
    }
}
