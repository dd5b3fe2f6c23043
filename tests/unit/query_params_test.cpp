// Query text in both directions.
#include <gtest/gtest.h>

#include "transport/query_params.h"

using namespace movu;

TEST(QueryParams, ParseDropsEmptyKeysKeepsOrderAndDecodes) {
    EXPECT_EQ(ParseQueryText("?b=2&a=1&&=x&c"), (QueryParams{{"b", "2"}, {"a", "1"}, {"c", ""}}));
    EXPECT_TRUE(ParseQueryText("?").empty());
    EXPECT_EQ(ParseQueryText("a=1&a=2&a"), (QueryParams{{"a", "1"}, {"a", "2"}, {"a", ""}}));
    // Only one leading "?" is dropped.
    EXPECT_EQ(ParseQueryText("??x=a=b&"), (QueryParams{{"?x", "a=b"}}));
    // Decoding: "+" is a space, stray percents stay.
    const std::pair<std::string, std::string> decoded[] = {
        {"x%2By+z%2", "x+y z%2"}, {"%", "%"}, {"%41", "A"}, {"%zz%4a%4A", "%zzJJ"}, {"%00%C3%BC", {"\0\xC3\xBC", 3}}};
    for (const auto& [text, bytes] : decoded) EXPECT_EQ(PercentDecode(text), bytes) << text;
}

TEST(QueryParams, EncodeKeepsOnlyUnreservedBytesAndBuildSortsByBytes) {
    EXPECT_EQ(PercentEncode("AZaz09-._~ +&=?%/\xC3\xBC"), "AZaz09-._~%20%2B%26%3D%3F%25%2F%C3%BC");
    EXPECT_EQ(PercentEncode(std::string("\0\xFF", 2)), "%00%FF");
    QueryParams p{{"since", "5"}, {"date", "2024-01-02"}, {"ab", "1"}, {"a", ""}, {"\xC3\xBC", "x"}, {"Z", "z z"}};
    const QueryParams copy = p;
    EXPECT_EQ(BuildQueryText(p), "Z=z%20z&a=&ab=1&date=2024-01-02&since=5&%C3%BC=x");
    EXPECT_EQ(p, copy);
    for (const char* text : {"b=%20x&a=y+z", "q=%E2%82%AC&p=~", "x=1&x=2"}) {
        const std::string once = BuildQueryText(ParseQueryText(text));
        EXPECT_EQ(BuildQueryText(ParseQueryText(once)), once) << text;
    }
}
