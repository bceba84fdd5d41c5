#include "framework/DynLinkLibrary.h"

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL system)
    : m_hModule(state.hModule), m_hResource(state.hResource), m_bSystem(system),
      m_pModuleState(AfxGetModuleState()) {
    if (m_pModuleState != nullptr) {
        m_pNextDLL = m_pModuleState->m_pLibraryList;
        m_pModuleState->m_pLibraryList = this;
    }
}

CDynLinkLibrary::~CDynLinkLibrary() {
    if (m_pModuleState == nullptr)
        return;
    for (CDynLinkLibrary** link = &m_pModuleState->m_pLibraryList; *link != nullptr;
         link = &(*link)->m_pNextDLL) {
        if (*link == this) {
            *link = m_pNextDLL;
            break;
        }
    }
}

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module) {
    if (state.bInitialized)
        return TRUE;
    state.hModule = module;
    state.hResource = module;
    state.bInitialized = TRUE;
    return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL all) {
    AFX_MODULE_STATE* moduleState = AfxGetModuleState();
    if (moduleState != nullptr) {
        CDynLinkLibrary* library = moduleState->m_pLibraryList;
        while (library != nullptr) {
            CDynLinkLibrary* next = library->m_pNextDLL;
            if (all || library->m_hModule == state.hModule)
                delete library;
            library = next;
        }
    }
    state.bInitialized = FALSE;
}

HINSTANCE AfxFindResourceHandle(LPCSTR name, LPCSTR type) {
    const AFX_MODULE_STATE* state = AfxGetModuleState();
    if (state == nullptr)
        return nullptr;
    if (state->m_hCurrentResourceHandle != nullptr &&
        FindResourceA(state->m_hCurrentResourceHandle, name, type))
        return state->m_hCurrentResourceHandle;
    for (const CDynLinkLibrary* library = state->m_pLibraryList; library != nullptr;
         library = library->m_pNextDLL) {
        if (library->m_hResource != nullptr && FindResourceA(library->m_hResource, name, type))
            return library->m_hResource;
    }
    return state->m_hCurrentResourceHandle;
}
