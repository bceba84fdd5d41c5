#pragma once
// The calling thread's map from window handles to the objects attached to them.
// A window belongs to the thread that created it, and so does its entry.

#include "framework/ModuleState.h"

// FALSE when the thread state or the memory for the entry cannot be had.
BOOL AfxMapWindow(HWND hWnd, CWnd* pWnd);
void AfxUnmapWindow(HWND hWnd);
CWnd* AfxLookupWindow(HWND hWnd);
// Frees the thread's map storage; entries still in it are forgotten.
void AfxFreeHandleMap(AFX_THREAD_STATE* state);
