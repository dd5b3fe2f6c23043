// Text at the boundary: conversion, trimming, argument reading, copy-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "api/text.h"
#include "guarded_buffer.h"

using namespace movu;

TEST(Conversion, RoundTripsAndReplacesWhatIsMalformed) {
    const std::u16string wide = u"a\u00fc\u20ac\U0001F600z";
    const std::string utf8 = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(Utf16ToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), wide);
    EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    // Each maximal ill-formed subsequence is one U+FFFD, as Windows converts.
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82z\xFF"), u"\uFFFDz\uFFFD");
    // Overlong forms, encoded surrogates and values above U+10FFFF never come
    // through as characters; how many U+FFFD they become differs between
    // Windows versions, so only that is checked.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"}) {
        const std::u16string out = Utf8ToUtf16(bad);
        EXPECT_EQ(out, std::u16string(out.size(), u'\uFFFD')) << bad;
        EXPECT_FALSE(out.empty());
    }
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', char16_t(0xDC00), char16_t(0xD83D), u'y'}),
              "x\xEF\xBF\xBD\xEF\xBF\xBDy");
}

TEST(TrimSpace, RemovesUnicodeSpaceAtBothEndsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {Utf16ToUtf8(u"\u00a0\u3000 \t\r\n\v\f abc def\u2028\u0085\u202f"), "abc def"},
        {Utf16ToUtf8(u" \u00a0 \u205f"), ""},
        {"", ""},
        // Zero-width space and the byte-order mark are not white space, nor is
        // a character whose last byte looks like a space's.
        {Utf16ToUtf8(u"\u200bx\ufeff"), Utf16ToUtf8(u"\u200bx\ufeff")},
        {Utf16ToUtf8(u"x\u0120"), Utf16ToUtf8(u"x\u0120")},
        {"\xF0\x9F\x98\x80 ", "\xF0\x9F\x98\x80"},
    };
    for (const auto& [text, trimmed] : cases) EXPECT_EQ(TrimSpace(text), trimmed) << text;
}

TEST(ReadArgTextA, TellsUtf16FromEightBitTextAndNeverReadsAnUnreadablePage) {
    // One UTF-16 character reads as the same 8-bit one; a first character
    // outside U+0001..U+00FF makes it 8-bit text up to the first zero byte.
    const std::pair<std::string, std::string> cases[] = {{std::string("a\0b\0c\0\0", 8), "abc"},
                                                         {"a\xFF", "a\xEF\xBF\xBD"},
                                                         {std::string("x\0\0", 4), "x"},
                                                         {std::string(" Nb\0\0", 6), " Nb"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(ReadArgTextA(bytes.c_str()), text);
    EXPECT_EQ(ReadArgTextA(nullptr), "");
    // A one-character 8-bit text at the very end of readable memory: bytes 2
    // and 3 lie on a page that cannot be read.
    EdgePage page;
    std::memcpy(page.end() - 2, "q", 2);
    EXPECT_EQ(ReadArgTextA(page.end() - 2), "q");
    // UTF-16 text running up to the edge without a terminator ends there.
    std::memcpy(page.end() - 6, "a\0b\0c", 6);
    EXPECT_EQ(ReadArgTextA(page.end() - 6), "abc");
}

TEST(ResultCopy, CutsAtCapacityAndNeverWritesPastIt) {
    for (int capacity : {-1, 0, 1, 2, 6, 7, 20}) {
        GuardedBuffer<char> a(capacity);
        GuardedBuffer<movu_char16> w(capacity);
        const int expect = capacity < 1 ? 0 : std::min(6, capacity - 1);
        EXPECT_EQ(ResultCopyA("abcdef", a.data(), capacity), expect);
        EXPECT_EQ(ResultCopyW("abcdef", w.data(), capacity), expect);
        EXPECT_TRUE(a.GuardsIntact() && w.GuardsIntact()) << capacity;
        if (capacity < 1) EXPECT_TRUE(a.Untouched() && w.Untouched());
        if (capacity < 1) continue;
        EXPECT_EQ(std::string(a.data()), std::string("abcdef").substr(0, expect));
        EXPECT_EQ(w.data()[expect], 0);
    }
    EXPECT_EQ(ResultCopyA("abc", nullptr, 10) + ResultCopyW("abc", nullptr, 10), 0);
    // The wide copy converts, and may cut a surrogate pair.
    GuardedBuffer<movu_char16> w(2);
    ResultCopyW("\xF0\x9F\x98\x80", w.data(), 2);
    EXPECT_EQ(static_cast<char16_t>(w.data()[0]), 0xD83D);
    EXPECT_EQ(w.data()[1], 0);
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(JsonEscape("plain/:\xC3\xBC a\"b\\c\nd\x01\x7f"), "plain/:\xC3\xBC a\\\"b\\\\c\\nd\\u0001\\u007f");
}
