// What the targets share: the entry point over the input as text, the
// property check, input modes, and a private data folder for the protection
// key and cache files.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// Defines LLVMFuzzerTestOneInput; the body that follows sees the input as `input`.
#define MOVU_FUZZ_TARGET(input)                                                         \
    static void FuzzOne(std::string_view input);                                        \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        FuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));           \
        return 0;                                                                       \
    }                                                                                   \
    static void FuzzOne(std::string_view input)

namespace movu::fuzz {

constexpr std::int64_t kLatest = 32535215999;  // 3000-12-31T23:59:59Z, the last time the library formats

// A broken property stops the run, so that libFuzzer keeps the input.
inline void Check(bool holds) {
    if (!holds) __builtin_trap();
}

// The first byte picks one of n ways to read the rest (an empty input: the first).
inline int TakeMode(std::string_view& input, int n) {
    const int mode = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % n;
    input.remove_prefix(input.empty() ? 0 : 1);
    return mode;
}

// A fresh folder under TMPDIR that XDG_DATA_HOME points at, so the master key
// made there never touches the user's own; gone when the fuzzer exits normally.
inline const std::string& PrivateDataHome() {
    static std::string folder;
    if (!folder.empty()) return folder;
    folder = (std::filesystem::temp_directory_path() / "movu-fuzz-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}

}  // namespace movu::fuzz
