// One set of API cases, two programs: movu_api_tests runs every case on the
// library as it ships; movu_api_hook_tests runs only the cases that need a
// test hook (suites named ...Hook) on movu_mt5_testhooks. Either fails when
// its share is empty, so a renamed suite cannot drop out unseen. Each names
// the file it loaded the library from.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef MOVU_API_HOOK_CASES
#error "build with MOVU_API_HOOK_CASES=0 (shipped library) or 1 (test library)"
#endif

namespace {

std::string LibraryFile() {
#ifdef _WIN32
    HMODULE module = GetModuleHandleA(MOVU_API_HOOK_CASES ? "movu_mt5_testhooks.dll" : "movu_mt5.dll");
    char path[MAX_PATH] = {};
    return module && GetModuleFileNameA(module, path, MAX_PATH) ? path : "(not loaded)";
#else
    Dl_info info{};
    void* address = dlsym(RTLD_DEFAULT, "Movu_PollA");
    return address && dladdr(address, &info) && info.dli_fname ? info.dli_fname : "(not found)";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::printf("library under test: %s\n", LibraryFile().c_str());
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
