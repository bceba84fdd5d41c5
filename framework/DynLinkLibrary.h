#pragma once
// A module's place in the framework's resource chain: resources not found in the
// current module's own resource handle are looked up in the libraries of its chain.

#include "framework/ModuleState.h"

struct AFX_EXTENSION_MODULE {
    BOOL bInitialized;
    HMODULE hModule;
    HMODULE hResource;
};

// Links itself into the current module state's chain; unlinks when destroyed.
// Allocated from the process heap (CNoTrackObject), so the chain can free it.
class CDynLinkLibrary : public CNoTrackObject {
public:
    CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL system = FALSE);
    ~CDynLinkLibrary() override;
    CDynLinkLibrary(const CDynLinkLibrary&) = delete;
    CDynLinkLibrary& operator=(const CDynLinkLibrary&) = delete;

    HMODULE m_hModule;
    HMODULE m_hResource;
    BOOL m_bSystem;
    CDynLinkLibrary* m_pNextDLL = nullptr;

private:
    AFX_MODULE_STATE* m_pModuleState;
};

// Records the module's handles in state; TRUE (also when already initialised).
BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module);
// Frees the libraries of state's module from the current module state's chain,
// or every library of the chain when all is TRUE.
void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL all = FALSE);

// The handle whose resources hold name of type: the current module's resource
// handle first, then each library of its chain. The current module's handle (or
// null) when none holds it.
HINSTANCE AfxFindResourceHandle(LPCSTR name, LPCSTR type);
