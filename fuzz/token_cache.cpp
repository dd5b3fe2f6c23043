// The token cache file of one account, read back as at the first request.
// First byte: '0' the rest is the file as found on disk, '1' the rest is the
// plain text that a valid file protects. A token that loads must save and
// load again unchanged.
#include <cstdio>
#include <mutex>

#include "api/text.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "settings/client_settings.h"
#include "token/client_token.h"
#include "token/protected_text.h"
#include "token/token_cache.h"

using namespace movu;

static constexpr std::string_view kAccount = "51234567";
static std::string cachePath;

static bool LoadFresh() {
    ClearTokenState();
    return LoadTokenCache(kAccount);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetTerminalDataPath(fuzz::PrivateDataHome() + "/terminal");
    cachePath = TokenCachePath(kAccount);
    if (cachePath.empty()) std::abort();
    platform::CreateDirectories(cachePath.substr(0, cachePath.find_last_of('/')));
    return 0;
}

MOVU_FUZZ_TARGET(rest) {
    const int mode = fuzz::TakeMode(rest, 2);
    std::string content(rest);
    if (mode == 1) fuzz::Check(ProtectToText(rest, content) == ProtectOutcome::Ok);
    std::FILE* file = platform::OpenFile(cachePath, true);
    if (file == nullptr) std::abort();
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);

    std::lock_guard<std::mutex> hold(TokenLock());
    if (!LoadFresh()) return fuzz::Check(TokenState().token.empty() && TokenState().expiry == 0);
    const ClientToken loaded = TokenState();
    fuzz::Check(!loaded.token.empty() && loaded.expiry > 0 && loaded.ownerAccount == kAccount);
    fuzz::Check(loaded.token.find('"') == std::string::npos);
    if (loaded.token.size() < 2048 && loaded.expiry <= fuzz::kLatest) {
        SaveTokenCache(kAccount, loaded.token, loaded.expiry);
        fuzz::Check(LoadFresh() && TokenState().token == loaded.token && TokenState().expiry == loaded.expiry);
    }
    ClearTokenState();
}
