#pragma once
// This module's own framework state, made current by every entry into the module.

#include "framework/ModuleState.h"

AFX_MODULE_STATE* GetDriverModuleState();

// The window procedure of the module's windows (the setup dialog and its
// controls): makes the module's state current, runs AfxWndProc, and restores
// the state it found.
LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
