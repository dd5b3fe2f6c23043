// What several targets share: a private data folder for the protection key
// and cache files, gone again when the fuzzer exits normally.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace movu::fuzz {

inline std::string& DataHomeStorage() {
    static std::string folder;
    return folder;
}

// A fresh folder under TMPDIR; XDG_DATA_HOME points at it, so the master key
// made there never touches the user's own.
inline const std::string& PrivateDataHome() {
    std::string& folder = DataHomeStorage();
    if (!folder.empty()) return folder;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/movu-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) std::abort();
    folder = pattern;
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(DataHomeStorage(), ignored);
    });
    return folder;
}

}  // namespace movu::fuzz

// A broken property stops the run, so that libFuzzer keeps the input.
#define MOVU_FUZZ_CHECK(cond)          \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)
