#include "module/DriverApp.h"

#include "framework/Wnd.h"
#include "module/ObjectMap.h"

namespace {

// The window procedure of the module's windows (the setup dialog and its
// controls): makes the module's state current, runs AfxWndProc, and restores
// the state it found.
LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace

// The module's two static objects, defined in this one file so that the language
// fixes their order: g_moduleState is constructed first and destroyed last, so it
// outlives the application object that registers itself in it.
//
// Constant-initialised (constexpr constructor): it exists before any constructor
// of the module runs, and the entry point makes it current before the run-time
// starts.
_AFX_DLL_MODULE_STATE g_moduleState(TRUE, DriverWndProc, 0x0600);

// Constructed by the run-time start-up after the module's state has been made
// current, so the base constructor registers it as that state's application.
CDriverApp g_driverApp;

namespace {

LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    AFX_MAINTAIN_STATE2 state(&g_moduleState);
    return AfxWndProc(hWnd, message, wParam, lParam);
}

} // namespace

BEGIN_MESSAGE_MAP(CDriverApp, CWinApp)
END_MESSAGE_MAP()

BOOL CDriverApp::InitInstance() {
    g_module.Initialize(g_objectMap, m_hInstance);
    return CWinApp::InitInstance();
}

int CDriverApp::ExitInstance() {
    g_module.Terminate();
    return CWinApp::ExitInstance();
}
