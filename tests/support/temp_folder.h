// A folder of a test's own under the build's test folder (env MOVU_TEST_TMP,
// else the system's), removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace movu::test {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix) {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (const char* tmp = std::getenv("MOVU_TEST_TMP"); tmp && *tmp) {
            std::string dir = tmp;
#ifdef _WIN32
            // Under Wine the variable holds the Unix path; Z: maps the Unix root.
            if (dir.front() == '/') dir = "Z:" + dir;
#endif
            base = dir;
        }
        std::random_device rd;
        path_ = base / (prefix + "-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace movu::test
