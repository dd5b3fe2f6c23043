// The shell's "open" verb. COM is initialised for this call on this thread
// and undone only when this call's initialisation took: a thread the host
// already runs in another apartment keeps its own.
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace movu::platform {

bool OpenWithDefaultHandler(const std::string& utf8) {
    if (utf8.empty() || utf8.find('\0') != std::string::npos) return false;
    const std::u16string target = Utf8ToUtf16(utf8);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HINSTANCE result = ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t*>(target.c_str()), nullptr,
                                     nullptr, SW_SHOWNORMAL);
    if (com == S_OK || com == S_FALSE) CoUninitialize();
    return reinterpret_cast<std::intptr_t>(result) > 32;
}

}  // namespace movu::platform
