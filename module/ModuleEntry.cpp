#include "automation/DriverModule.h"

#include <windows.h>

// The module's start and end: the COM module object lives from process attach to
// process detach.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH)
        g_module.Initialize(g_objectMap, instance);
    else if (reason == DLL_PROCESS_DETACH)
        g_module.Terminate();
    return TRUE;
}
