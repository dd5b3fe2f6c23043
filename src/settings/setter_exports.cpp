// The eight setters. Their bodies trim, split and store; whether a base URL is usable
// shows only when a request cracks it.
#include "api/boundary.h"
#include "api/export.h"
#include "api/text.h"
#include "settings/client_settings.h"

using namespace movu;

extern "C" {

MOVU_EXPORT void MOVU_CALL Movu_SetBaseUrl(const movu_char16* url) {
    GuardVoid([&] { SetBaseUrl(Utf16ToUtf8(WideArg(url))); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetBaseUrlA(const char* url) {
    GuardVoid([&] { SetBaseUrl(ReadArgTextA(url)); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetBaseUrls(const movu_char16* list) {
    GuardVoid([&] { SetBaseUrls(Utf16ToUtf8(WideArg(list))); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetBaseUrlsA(const char* list) {
    GuardVoid([&] { SetBaseUrls(ReadArgTextA(list)); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetProductSecret(const movu_char16* secret) {
    GuardVoid([&] { SetProductSecret(Utf16ToUtf8(WideArg(secret))); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetProductSecretA(const char* secret) {
    GuardVoid([&] { SetProductSecret(ReadArgTextA(secret)); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetTerminalDataPath(const movu_char16* path) {
    GuardVoid([&] { SetTerminalDataPath(Utf16ToUtf8(WideArg(path))); });
}

MOVU_EXPORT void MOVU_CALL Movu_SetTerminalDataPathA(const char* path) {
    GuardVoid([&] { SetTerminalDataPath(ReadArgTextA(path)); });
}

}  // extern "C"
