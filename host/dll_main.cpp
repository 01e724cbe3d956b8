// The library's face towards Windows and the mod loader.
#include <windows.h>

#include "host/mod_state.h"

extern "C" VELMORA_EXPORT const ModInfo SA2ModInfo = {16, {0, 0, 0, 0, 0, 0, 0, 0, 0}};

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(module);
            break;
        case DLL_PROCESS_DETACH:
            on_process_detach();
            break;
        default:
            break;
    }
    return TRUE;
}
