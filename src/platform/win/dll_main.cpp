// Load and unload. Nothing is created here: locks and tables come into being
// on first use. COM is initialised by the shell calls that need it, per call,
// because COM calls are not allowed while the loader lock is held.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
