// Query text in both directions.
#include <gtest/gtest.h>

#include "transport/query_params.h"

using namespace movu;

TEST(QueryParams, ParseDropsEmptyKeysAndKeepsOrder) {
    QueryParams p = ParseQueryText("?b=2&a=1&&=x&c");
    EXPECT_EQ(p, (QueryParams{{"b", "2"}, {"a", "1"}, {"c", ""}}));
    EXPECT_EQ(BuildQueryText(p), "a=1&b=2&c=");
    EXPECT_TRUE(ParseQueryText("").empty());
    EXPECT_TRUE(ParseQueryText("?").empty());
    EXPECT_EQ(ParseQueryText("k=v&"), (QueryParams{{"k", "v"}}));
    EXPECT_EQ(ParseQueryText("a=1&a=2&a"), (QueryParams{{"a", "1"}, {"a", "2"}, {"a", ""}}));
    EXPECT_EQ(ParseQueryText("k=a=b"), (QueryParams{{"k", "a=b"}}));
    // Only one leading "?" is dropped.
    EXPECT_EQ(ParseQueryText("??x=1"), (QueryParams{{"?x", "1"}}));
}

TEST(QueryParams, DecodeHandlesPlusEscapesAndStrayPercents) {
    EXPECT_EQ(PercentDecode("x%2By+z%2"), "x+y z%2");
    EXPECT_EQ(PercentDecode("%"), "%");
    EXPECT_EQ(PercentDecode("%4"), "%4");
    EXPECT_EQ(PercentDecode("%41"), "A");
    EXPECT_EQ(PercentDecode("%zz%4a%4A"), "%zzJJ");
    EXPECT_EQ(PercentDecode("%00"), std::string(1, '\0'));
    EXPECT_EQ(PercentDecode("%C3%BC"), "\xC3\xBC");
}

TEST(QueryParams, EncodeKeepsOnlyUnreservedBytes) {
    EXPECT_EQ(PercentEncode("a b/\xC3\xBC"), "a%20b%2F%C3%BC");
    EXPECT_EQ(PercentEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(PercentEncode("+&=?%"), "%2B%26%3D%3F%25");
    EXPECT_EQ(PercentEncode(std::string("\0\xFF", 2)), "%00%FF");
}

TEST(QueryParams, BuildSortsByBytesAndLeavesTheInputAlone) {
    QueryParams p{{"since", "5"}, {"date", "2024-01-02"}, {"ab", "1"}, {"a", ""}, {"\xC3\xBC", "x"}, {"Z", "z"}};
    QueryParams copy = p;
    EXPECT_EQ(BuildQueryText(p), "Z=z&a=&ab=1&date=2024-01-02&since=5&%C3%BC=x");
    EXPECT_EQ(p, copy);
    EXPECT_EQ(BuildQueryText({}), "");
}

TEST(QueryParams, RoundTripIsCanonical) {
    for (const char* text : {"b=%20x&a=y+z", "q=%E2%82%AC&p=~", "x=1&x=2"}) {
        std::string once = BuildQueryText(ParseQueryText(text));
        EXPECT_EQ(BuildQueryText(ParseQueryText(once)), once) << text;
    }
}
