// Load and unload. Nothing is created here: locks and tables come into being
// on first use. COM is initialised by the shell calls that need it, per call,
// because COM calls are not allowed while the loader lock is held.
//
// Process detach with the reserved argument set is the process exiting: the
// other threads are gone wherever they stood, so the library frees nothing.
// The C++ runtime calls DllMain before it runs the library's exit table (the
// static destructors), so the note is in place by then.
#include <windows.h>

#include "platform/platform.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) movu::platform::NoteProcessExit();
    return TRUE;
}
