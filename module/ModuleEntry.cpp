#include "framework/DynLinkLibrary.h"
#include "framework/ModuleState.h"
#include "framework/WinApp.h"
#include "module/DriverApp.h"
#include "module/RuntimeRelease.h"
#include "platform/Owners.h"

#include <windows.h>

#include <new>

// The module's entry point is MorvantisDllEntry (set at link time): it brackets
// the C run-time's own entry, which constructs the static objects before it
// calls DllMain and destroys them after DllMain has seen the process detach.
// The module state must be current before the application object is
// constructed, and the caller's state current again after the last static
// object is gone.
#if defined(_MSC_VER)
extern "C" BOOL WINAPI _DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);
#define FOCUSER_CRT_DLL_STARTUP _DllMainCRTStartup
#else
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);
#define FOCUSER_CRT_DLL_STARTUP DllMainCRTStartup
#endif

extern "C" BOOL WINAPI MorvantisDllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Zero-initialised: its place in the resource chain is made at attach time.
AFX_EXTENSION_MODULE g_extensionModule;

namespace {

// Memory the module must be able to get at load time, or it refuses to load.
constexpr SIZE_T kLoadReserve = 8192;

// Set once the whole process attach succeeded; a detach without it does
// nothing.
bool g_processAttached = false;
// Set once the framework attach (DllMain) succeeded.
bool g_frameworkAttached = false;

AFX_MODULE_STATE* PreviousSlot() {
    AFX_THREAD_STATE* thread = AfxGetThreadState();
    return thread != nullptr ? thread->m_pPrevModuleState : nullptr;
}

void SetPreviousSlot(AFX_MODULE_STATE* state) {
    if (AFX_THREAD_STATE* thread = AfxGetThreadState())
        thread->m_pPrevModuleState = state;
}

// Makes the module's state current and keeps the caller's in the thread's
// previous-state slot. Before static construction this only stores the address:
// the state object's contents are constant-initialised and not read here.
void EnterModuleState() {
    SetPreviousSlot(AfxSetModuleState(GetDriverModuleState()));
}

void RestoreCallerState() {
    AfxSetModuleState(PreviousSlot());
}

bool EarlyAttach() {
    {
        const platform::UniqueLocal probe(LocalAlloc(LMEM_FIXED, kLoadReserve));
        if (!probe)
            return false;
    }
    SetDriverModuleState(&g_moduleState);
    EnterModuleState();
    return true;
}

bool FrameworkAttach(HINSTANCE instance) {
    AfxCoreInitModule();
    AFX_MODULE_STATE* const caller = PreviousSlot();
    bool attached = false;
    if (!AfxWinInit(instance, nullptr, "", 0)) {
        AfxWinTerm();
    } else {
        CWinApp* app = AfxGetModuleState()->m_pCurrentWinApp;
        if (app != nullptr && !app->InitInstance()) {
            app->ExitInstance();
            AfxWinTerm();
        } else {
            SetPreviousSlot(caller);
            AfxInitExtensionModule(g_extensionModule, instance);
            // The module state's resource chain owns the library object and frees
            // it at detach; without memory the module only stays out of the chain.
            new (std::nothrow) CDynLinkLibrary(g_extensionModule, FALSE);
            attached = true;
        }
    }
    SetPreviousSlot(caller);
    AfxSetModuleState(caller);
    return attached;
}

// Unload: the application's ExitInstance terminates g_module here, before the
// run-time destroys the application object and the module state.
void FrameworkDetach() {
    EnterModuleState();
    AFX_MODULE_STATE* state = AfxGetModuleState();
    if (state != nullptr && state->m_pCurrentWinApp != nullptr)
        state->m_pCurrentWinApp->ExitInstance();
    AfxLockTempMaps();
    AfxUnlockTempMaps(-1);
    AfxWinTerm();
    AfxTermExtensionModule(g_extensionModule, TRUE);
}

void ThreadDetach(HINSTANCE instance) {
    {
        AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
        AfxLockTempMaps();
        AfxUnlockTempMaps(-1);
        AfxTermThread(instance);
    }
    // Every ending thread passes here, also those that never called the module:
    // the record the switch needed goes with the thread.
    AfxReleaseThreadState();
}

BOOL Notify(HINSTANCE instance, DWORD reason, bool processExiting) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_frameworkAttached = FrameworkAttach(instance);
        return g_frameworkAttached ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        // The run-time also reports a detach after a refused attach.
        if (!g_frameworkAttached)
            return FALSE;
        g_frameworkAttached = false;
        // Nothing is freed at the process exit (see the entry point); the
        // detach would also make this thread a framework record, under the
        // records' lock, if it had none.
        if (!processExiting)
            FrameworkDetach();
        return TRUE;
    case DLL_THREAD_DETACH:
        ThreadDetach(instance);
        return TRUE;
    default:
        return TRUE;
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    // Nothing may leave the loader's notification: a failed attach is refused,
    // and the entry point then makes the caller's state current again.
    try {
        return Notify(instance, reason, reserved != nullptr);
    } catch (...) {
        return FALSE;
    }
}

extern "C" BOOL WINAPI MorvantisDllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        if (!EarlyAttach())
            return FALSE;
        const BOOL attached = FOCUSER_CRT_DLL_STARTUP(instance, reason, reserved);
        // The run-time may refuse before DllMain had a chance to restore the
        // caller's state. The detach the loader sends after a refused attach
        // returns at once, so what the load took goes now.
        if (!attached) {
            RestoreCallerState();
            AfxCoreTermModule();
            ReleaseRuntimeAtUnload();
        }
        g_processAttached = attached != FALSE;
        return attached;
    }
    case DLL_PROCESS_DETACH: {
        if (!g_processAttached)
            return FALSE;
        g_processAttached = false;
        const BOOL result = FOCUSER_CRT_DLL_STARTUP(instance, reason, reserved);
        // A detach with reserved set is the process exiting. Its other threads
        // were ended wherever they were: a lock one of them held (the framework
        // records') is never released, and the exception pool may be half
        // changed. Code of the module may also run later in the exit and use
        // that pool. So nothing is freed; the process takes it all. At an
        // unload (reserved null) no thread is inside the module.
        if (reserved != nullptr)
            return result;
        RestoreCallerState();
        // Nothing of the module runs after this: the threads' framework records
        // and their TLS slot go, and what the C++ run-time kept for the process.
        AfxCoreTermModule();
        ReleaseRuntimeAtUnload();
        return result;
    }
    default:
        return FOCUSER_CRT_DLL_STARTUP(instance, reason, reserved);
    }
}
