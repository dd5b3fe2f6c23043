// Opening a text (a web address, usually) with the desktop's default handler.
// The text is handed over as it stands, trimmed; only whether the desktop
// accepted it is reported.
#include <cstdint>
#include <string>

#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "platform/platform.h"

extern "C" MOVU_EXPORT int32_t MOVU_CALL Movu_OpenUrl(const movu_char16* url) {
    return movu::Guard([&]() -> std::int32_t {
        if (!url) return movu::kArgumentMissing;
        const std::string target = movu::TrimSpace(movu::Utf16ToUtf8(movu::WideArg(url)));
        if (target.empty()) return movu::kArgumentMissing;
        return movu::platform::OpenWithDefaultHandler(target) ? movu::kOk : movu::kOpenFailed;
    });
}
