// Text at the boundary: conversion, trimming, argument reading, copy-out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/text.h"
#include "guarded_buffer.h"

using namespace movu;

TEST(Conversion, RoundTripsEveryPlane) {
    const std::u16string wide = u"a\u00fc\u20ac\U0001F600z";
    const std::string utf8 = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(Utf16ToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), wide);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf16ToUtf8(u""), "");
}

TEST(Conversion, MalformedUtf8BecomesReplacementCharacters) {
    // Each maximal ill-formed subsequence is one U+FFFD, as Windows converts.
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD");  // cut sequence
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), u"\uFFFDz");
    // Overlong forms, encoded surrogates and values above U+10FFFF never come
    // through as characters; how many U+FFFD they become differs between
    // Windows versions, so only that is checked.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"}) {
        std::u16string out = Utf8ToUtf16(std::string("<") + bad + ">");
        ASSERT_GE(out.size(), 3u) << bad;
        EXPECT_EQ(out.front(), u'<');
        EXPECT_EQ(out.back(), u'>');
        for (std::size_t i = 1; i + 1 < out.size(); ++i) EXPECT_EQ(out[i], 0xFFFD) << bad;
    }
    EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Conversion, LoneSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', char16_t(0xDC00), u'y'}), "x\xEF\xBF\xBDy");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'a'}),
              "\xEF\xBF\xBD"
              "a");
}

TEST(TrimSpace, RemovesUnicodeSpaceAtBothEndsOnly) {
    EXPECT_EQ(TrimSpace(u"\u00a0\u3000 \t\r\n\v\f abc def\u2028\u0085\u202f"), u"abc def");
    EXPECT_EQ(TrimSpace(u" \u00a0 "), u"");
    EXPECT_EQ(TrimSpace(u""), u"");
    // Zero-width space and the byte-order mark are not white space.
    EXPECT_EQ(TrimSpace(u"\u200bx\ufeff"), u"\u200bx\ufeff");
}

TEST(ReadArgTextA, TellsUtf16FromEightBitText) {
    const char utf16[] = {'a', 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(ReadArgTextA(utf16), u"abc");
    EXPECT_EQ(ReadArgTextA("abc"), u"abc");
    EXPECT_EQ(ReadArgTextA("  \xC3\xBC  "), u"\u00fc");
    // One UTF-16 character reads as the same one 8-bit character.
    const char one[] = {'x', 0, 0, 0};
    EXPECT_EQ(ReadArgTextA(one), u"x");
    // A first character outside U+0001..U+00FF makes it 8-bit text up to the first zero byte.
    const char wideFirst[] = {0x20, 0x4E, 'b', 0, 0, 0};
    EXPECT_EQ(ReadArgTextA(wideFirst), u"Nb");
    const char spaced[] = {' ', 0, 'a', 0, ' ', 0, 0, 0};
    EXPECT_EQ(ReadArgTextA(spaced), u"a");
}

TEST(ReadArgTextA, NullEmptyAndBlankAreEmpty) {
    EXPECT_EQ(ReadArgTextA(nullptr), u"");
    EXPECT_EQ(ReadArgTextA(""), u"");
    EXPECT_EQ(ReadArgTextA("   \t "), u"");
}

TEST(ReadArgTextA, NeverReadsAnUnreadablePage) {
    // A one-character 8-bit text at the very end of readable memory: bytes 2
    // and 3 lie on a page that cannot be read.
    EdgePage page;
    char* text = page.end() - 2;
    text[0] = 'q';
    text[1] = 0;
    EXPECT_EQ(ReadArgTextA(text), u"q");
    // UTF-16 text running up to the edge without a terminator ends there.
    char* wide = page.end() - 6;
    const char units[] = {'a', 0, 'b', 0, 'c', 0};
    std::memcpy(wide, units, 6);
    EXPECT_EQ(ReadArgTextA(wide), u"abc");
}

TEST(ResultCopy, CutsAtCapacityAndNeverWritesPastIt) {
    for (int capacity : {-1, 0, 1, 2, 4, 6, 7, 20}) {
        GuardedBuffer<char> a(capacity);
        int n = ResultCopyA("abcdef", a.data(), capacity);
        EXPECT_TRUE(a.GuardsIntact()) << capacity;
        if (capacity < 1) {
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(a.Untouched());
        } else {
            int expect = std::min(6, capacity - 1);
            EXPECT_EQ(n, expect);
            EXPECT_EQ(std::string(a.data()), std::string("abcdef").substr(0, expect));
        }
        GuardedBuffer<movu_char16> w(capacity);
        n = ResultCopyW("abcdefghij", w.data(), capacity);
        EXPECT_TRUE(w.GuardsIntact()) << capacity;
        if (capacity >= 1) {
            int expect = std::min(10, capacity - 1);
            EXPECT_EQ(n, expect);
            EXPECT_EQ(w.data()[expect], 0);
        } else {
            EXPECT_TRUE(w.Untouched());
        }
    }
    EXPECT_EQ(ResultCopyA("abc", nullptr, 10), 0);
    EXPECT_EQ(ResultCopyW("abc", nullptr, 10), 0);
}

TEST(ResultCopy, WideCopyConvertsAndMayCutASurrogatePair) {
    GuardedBuffer<movu_char16> w(2);
    ResultCopyW("\xF0\x9F\x98\x80", w.data(), 2);  // U+1F600 is two units
    EXPECT_EQ(static_cast<char16_t>(w.data()[0]), 0xD83D);
    EXPECT_EQ(w.data()[1], 0);
    EXPECT_TRUE(w.GuardsIntact());
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(JsonEscape("plain/value:1"), "plain/value:1");
    EXPECT_EQ(JsonEscape("a\"b\\c\nd\x01"), "a\\\"b\\\\c\\nd\\u0001");
    EXPECT_EQ(JsonEscape("\xC3\xBC"), "\xC3\xBC");
}
