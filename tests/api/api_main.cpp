// One set of API cases, two programs: movu_api_tests runs every case on the
// library as it ships; movu_api_hook_tests runs only the cases that need a
// test hook (suites named ...Hook) on movu_mt5_testhooks. Either fails when
// its share is empty, so a renamed suite cannot drop out unseen.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifndef MOVU_API_HOOK_CASES
#error "build with MOVU_API_HOOK_CASES=0 (shipped library) or 1 (test library)"
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string filter = testing::GTEST_FLAG(filter);
    constexpr const char* kHookCases = "*Hook.*";
    if (MOVU_API_HOOK_CASES) {
        if (filter == "*") filter = kHookCases;
    } else {
        filter += filter.find('-') == std::string::npos ? "-" : ":";
        filter += kHookCases;
    }
    testing::GTEST_FLAG(filter) = filter;
    const int failed = RUN_ALL_TESTS();
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        std::fprintf(stderr, "no case selected by --gtest_filter=%s\n", filter.c_str());
        return 1;
    }
    return failed;
}
