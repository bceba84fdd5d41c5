#include "tests/common/DriverModuleState.h"

#include "framework/Wnd.h"

namespace {

_AFX_DLL_MODULE_STATE g_testDriverState(TRUE, DriverWndProc, 0x0600);

} // namespace

AFX_MODULE_STATE* GetDriverModuleState() {
    return &g_testDriverState;
}

LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    AFX_MAINTAIN_STATE2 state(&g_testDriverState);
    return AfxWndProc(hWnd, message, wParam, lParam);
}
