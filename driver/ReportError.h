#pragma once
// Turns a driver message into the client-visible error: the calling thread's
// error object (GUID, source ProgID when registered, description) and
// DISP_E_EXCEPTION, which the failing member returns unchanged.

#include <windows.h>

HRESULT ReportError(REFCLSID classId, REFIID interfaceId, const char* message);
