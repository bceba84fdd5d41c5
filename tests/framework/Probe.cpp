// A second copy of the framework in its own module, as the driver carries one:
// the tests check that each copy keeps its own module state per thread.

#include "framework/ModuleState.h"

namespace {

AFX_MODULE_STATE g_probeState(TRUE, nullptr, 0x0600);

} // namespace

extern "C" {

// The copy's thread records and slot go with the module, as the driver's do.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH)
        AfxCoreTermModule();
    return TRUE;
}

__declspec(dllexport) AFX_MODULE_STATE* ProbeOwnState() {
    return &g_probeState;
}

__declspec(dllexport) AFX_MODULE_STATE* ProbeCurrentState() {
    return AfxGetModuleState();
}

__declspec(dllexport) AFX_MODULE_STATE* ProbeSetState(AFX_MODULE_STATE* state) {
    return AfxSetModuleState(state);
}

// Enters the probe module as every entry point of a module does, and reports
// what the host's copy sees as current while inside.
__declspec(dllexport) AFX_MODULE_STATE* ProbeEnter(AFX_MODULE_STATE* (*seenByHost)()) {
    AFX_MAINTAIN_STATE2 state(&g_probeState);
    return seenByHost();
}

__declspec(dllexport) AFX_THREAD_STATE* ProbeThreadState() {
    return AfxGetThreadState();
}
}
