// The copies of the result-code list (MQL5 include, docs) against the one in
// include/movu_mt5.h: a test fails as soon as one drifts.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "api/result_codes.h"

using namespace movu;

namespace {

// MOVU_SOURCE_DIR: the source tree as this program sees it (under Wine, on
// the drive that maps the root folder).
std::string SourceFile(const std::string& relative) {
    std::ifstream in(std::string(MOVU_SOURCE_DIR) + "/" + relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> Matches(const std::string& text, const std::string& pattern) {
    std::map<std::string, std::string> out;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        out[(*it)[1]] = (*it)[2];
    return out;
}

}  // namespace

TEST(ResultCodes, CopiesAgreeWithTheLibrarysTable) {
    const std::string mqh = SourceFile("MQL5/Include/movu_mt5.mqh");
    const std::string api = SourceFile("docs/api.md");
    const std::string troubleshooting = SourceFile("docs/troubleshooting.md");
    // A copy that cannot be read (moved, renamed) has drifted too.
    ASSERT_FALSE(mqh.empty() || api.empty() || troubleshooting.empty())
        << "MQL5/Include/movu_mt5.mqh, docs/api.md and docs/troubleshooting.md must be readable in " << MOVU_SOURCE_DIR;

    std::map<std::string, std::string> expectedValues, expectedTexts;
    std::set<std::int32_t> knownValues;
    std::string docsRows;  // the docs' table as the library's table gives it
    for (std::size_t i = 0; i < kResultCodeCount; ++i) {
        const ResultCodeRow row = ResultCodeAt(i);
        expectedValues[row.name] = std::to_string(row.value);
        knownValues.insert(row.value);
        if (row.brief) expectedTexts[row.name] = row.brief;
        docsRows +=
            "| " + std::to_string(row.value) + " | `" + row.name + "` | " + row.text + " | " + row.from + " |\n";
    }
    // The include's own codes (-1001 on) are not the library's.
    std::map<std::string, std::string> defines = Matches(mqh, R"(#define (MOVU_(?:OK|ERR_\w+))\s+\(?(-?\d{1,3})\)?\s)");
    EXPECT_EQ(defines, expectedValues) << "the #define block of movu_mt5.mqh";
    std::map<std::string, std::string> texts = Matches(mqh, R"re(case (MOVU_\w+):\s+return\("([^"]*)"\);)re");
    for (auto it = texts.begin(); it != texts.end();)
        it = expectedValues.count(it->first) ? std::next(it) : texts.erase(it);
    EXPECT_EQ(texts, expectedTexts) << "MovuResultText in movu_mt5.mqh";

    EXPECT_NE(api.find("|---|---|---|---|\n" + docsRows), std::string::npos)
        << "the table in docs/api.md should read:\n"
        << docsRows;
    // The troubleshooting page explains every transport failure.
    std::set<std::int32_t> named;
    for (const auto& [value, rest] : Matches(troubleshooting, R"(\n\| (-\d+) \|([^\n]*))")) {
        named.insert(std::stoi(value));
        EXPECT_EQ(knownValues.count(std::stoi(value)), 1u) << "troubleshooting.md names " << value;
    }
    for (std::int32_t code : {kBadBaseUrl, kNoSession, kConnectFailed, kOpenRequestFailed, kSendFailed, kReceiveFailed})
        EXPECT_EQ(named.count(code), 1u) << code << " is missing from docs/troubleshooting.md";
}
