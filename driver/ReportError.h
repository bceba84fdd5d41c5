#pragma once
// Turns a driver message into the client-visible error: the calling thread's
// error object (GUID, source ProgID when registered, description) and
// DISP_E_EXCEPTION, which the failing member returns unchanged.

#include <windows.h>

// message is ANSI text (system code page); a null message gives an empty
// description. Always returns DISP_E_EXCEPTION, even when no error object
// could be built.
HRESULT ReportError(REFCLSID classId, REFIID interfaceId, const char* message);

// ISupportErrorInfo::InterfaceSupportsErrorInfo for the driver object: S_OK
// for IID_IFocuser, S_FALSE for every other identifier.
HRESULT SupportsErrorInfo(REFIID iid);
