#include "module/ModuleState.h"

#include "framework/Wnd.h"

// Constant-initialised (constexpr constructor): it exists before any constructor
// of the module runs, so the application object can register itself in it.
_AFX_DLL_MODULE_STATE g_moduleState(TRUE, DriverWndProc, 0x0600);

AFX_MODULE_STATE* GetDriverModuleState() {
    return &g_moduleState;
}

LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    AFX_MAINTAIN_STATE2 state(&g_moduleState);
    return AfxWndProc(hWnd, message, wParam, lParam);
}
