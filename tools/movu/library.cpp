#include "library.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "utf.h"

namespace movu::cli {
namespace {

#ifdef _WIN32
constexpr char kFileName[] = "movu_mt5.dll";

std::string LastErrorText() {
    DWORD code = GetLastError();
    wchar_t* message = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = "error " + std::to_string(code);
    if (message) {
        std::wstring w(message);
        LocalFree(message);
        while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ')) w.pop_back();
        text += ": " + Utf16To8(w.data(), w.size());
    }
    return text;
}

std::filesystem::path ProgramFolder() {
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return {};
    buffer.resize(n);
    return std::filesystem::path(buffer).parent_path();
}
#else
constexpr char kFileName[] = "libmovu_mt5.so";

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}
#endif

}  // namespace

Library::~Library() {
    if (!handle_) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

bool Library::Load(const std::string& path) {
    path_ = path;
#ifdef _WIN32
    Text16 wide = Utf8To16(path);
    std::wstring file(wide.begin(), wide.end());
    // A path with a folder loads that file and finds its dependencies beside it.
    DWORD flags = file.find_first_of(L"\\/") != std::wstring::npos ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, flags);
    if (!module) {
        error_ = "cannot load " + path + ": " + LastErrorText();
        return false;
    }
    handle_ = module;
    const auto lookup = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    const auto lookup = [&](const char* name) { return dlsym(handle_, name); };
#endif
    std::string missing;
#define MOVU_CLI_RESOLVE(name)                                                 \
    if (void* p = lookup("Movu_" #name)) {                                     \
        exports_.name = reinterpret_cast<decltype(exports_.name)>(p);          \
    } else {                                                                   \
        missing += (missing.empty() ? "" : ", ") + std::string("Movu_" #name); \
    }
    MOVU_CLI_EXPORTS(MOVU_CLI_RESOLVE)
#undef MOVU_CLI_RESOLVE
    if (!missing.empty()) {
        error_ = path + " lacks the export(s) " + missing + "; is it an older or foreign build?";
        return false;
    }
    return true;
}

std::vector<std::string> Library::DefaultPaths() {
    std::vector<std::string> paths;
    auto folder = ProgramFolder();
    if (!folder.empty()) {
        paths.push_back((folder / kFileName).u8string());
        // The release zip puts the program at the top of the terminal's data
        // folder and the library where the terminal loads it from.
        paths.push_back((folder / "MQL5" / "Libraries" / kFileName).u8string());
    }
#ifdef MOVU_CLI_BUILD_LIBRARY
    paths.emplace_back(MOVU_CLI_BUILD_LIBRARY);
#endif
    return paths;
}

}  // namespace movu::cli
