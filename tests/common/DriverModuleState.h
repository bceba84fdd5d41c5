#pragma once
// The driver's framework state for test programs that link the layers without the
// module (whose two static objects would make a second application object in the
// program): a state of the same kind, handed down to the layers at start-up, with
// a window procedure that switches to it.

#include "framework/ModuleState.h"

#include <windows.h>

LRESULT CALLBACK DriverWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
