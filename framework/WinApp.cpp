#include "framework/WinApp.h"

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp() : m_pModuleState(AfxGetModuleState()) {
    if (m_pModuleState != nullptr)
        m_pModuleState->m_pCurrentWinApp = this;
}

CWinApp::~CWinApp() {
    if (m_pModuleState != nullptr && m_pModuleState->m_pCurrentWinApp == this)
        m_pModuleState->m_pCurrentWinApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

BOOL AfxWinInit(HINSTANCE instance, HINSTANCE, const char*, int) {
    AFX_MODULE_STATE* state = AfxGetModuleState();
    if (state == nullptr)
        return FALSE;
    state->m_hCurrentInstanceHandle = instance;
    state->m_hCurrentResourceHandle = instance;
    if (CWinApp* app = state->m_pCurrentWinApp)
        app->m_hInstance = instance;
    return TRUE;
}

void AfxWinTerm() {
    AFX_MODULE_STATE* state = AfxGetModuleState();
    if (state == nullptr)
        return;
    state->m_hCurrentInstanceHandle = nullptr;
    state->m_hCurrentResourceHandle = nullptr;
}
