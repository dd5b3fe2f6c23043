// The token cache file of one account, read back as at the first request.
// First byte: '0' the rest is the file as found on disk, '1' the rest is the
// plain text that a valid file protects. A token that loads must save and
// load again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "api/text.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "settings/client_settings.h"
#include "token/client_token.h"
#include "token/protected_text.h"
#include "token/token_cache.h"

using namespace movu;

namespace {

constexpr std::string_view kAccount = "51234567";
constexpr std::int64_t kLatest = 32535215999;  // 3000-12-31T23:59:59Z
std::u16string cachePath;

void WriteCacheFile(std::string_view content) {
    std::FILE* file = platform::OpenFile(cachePath, true);
    if (file == nullptr) std::abort();
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

bool LoadFresh() {
    ClearTokenState();
    return LoadTokenCache(kAccount);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string& home = fuzz::PrivateDataHome();
    SetTerminalDataPath(Utf8ToUtf16(home + "/terminal"));
    cachePath = TokenCachePath(kAccount);
    if (cachePath.empty()) std::abort();
    platform::CreateDirectories(cachePath.substr(0, cachePath.find_last_of(u'/')));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        WriteCacheFile(rest);
    } else {
        std::string text;
        MOVU_FUZZ_CHECK(ProtectToText(rest, text) == ProtectOutcome::Ok);
        WriteCacheFile(text);
    }

    std::lock_guard<std::mutex> hold(TokenLock());
    if (!LoadFresh()) {
        MOVU_FUZZ_CHECK(TokenState().token.empty() && TokenState().expiry == 0);
        return 0;
    }
    const ClientToken loaded = TokenState();
    MOVU_FUZZ_CHECK(!loaded.token.empty() && loaded.expiry > 0 && loaded.ownerAccount == kAccount);
    MOVU_FUZZ_CHECK(loaded.token.find('"') == std::string::npos);
    if (loaded.token.size() < 2048 && loaded.expiry <= kLatest) {
        SaveTokenCache(kAccount, loaded.token, loaded.expiry);
        MOVU_FUZZ_CHECK(LoadFresh());
        MOVU_FUZZ_CHECK(TokenState().token == loaded.token && TokenState().expiry == loaded.expiry);
    }
    ClearTokenState();
    return 0;
}
