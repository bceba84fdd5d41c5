#include "tests/common/DriverModuleState.h"

#include "framework/Wnd.h"

namespace {

_AFX_DLL_MODULE_STATE g_testDriverState(TRUE, DriverWndProc, 0x0600);

// Hands the state down at start-up, as the module's entry point does at attach.
struct HandDown {
    HandDown() { SetDriverModuleState(&g_testDriverState); }
} g_handDown;

} // namespace

LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    AFX_MAINTAIN_STATE2 state(&g_testDriverState);
    return AfxWndProc(hWnd, message, wParam, lParam);
}
