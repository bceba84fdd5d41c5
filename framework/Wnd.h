#pragma once
// A window object: a C++ object attached to a window of its thread. Messages of
// a subclassed window go through the owning module's window procedure, which
// makes the module's state current and calls AfxWndProc; AfxWndProc finds the
// object and calls its WindowProc.

#include "framework/CmdTarget.h"
#include "framework/ModuleState.h"

class CDataExchange;

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    // Gives the window back its own procedure if it still runs through ours.
    ~CWnd() override;

    // The object attached to hWnd on this thread, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    // Attaching counts the window as alive in the current module state until it is
    // detached (AfxDllCanUnloadNow). FALSE: already attached, null, or no memory.
    BOOL Attach(HWND hWnd);
    HWND Detach();
    // Attaches and routes the window's messages through the module's window
    // procedure; the object stays attached until WM_NCDESTROY.
    BOOL SubclassWindow(HWND hWnd);
    HWND UnsubclassWindow();

    // Runs DoDataExchange: controls to members when saveAndValidate is TRUE,
    // members to controls otherwise. FALSE: a value was refused (the user has
    // been told and the focus is on the field).
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The window's own procedure (before subclassing), or the system default.
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    // WM_COMMAND: TRUE when a message-map entry handled it.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // After the window is gone and the object detached.
    virtual void PostNcDestroy() {}

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);

    WNDPROC m_pfnSuper = nullptr;
    WNDPROC m_pfnSubclass = nullptr;
    AFX_MODULE_STATE* m_pModuleState = nullptr;
};

// The framework's window procedure: dispatches to the attached object. No
// exception leaves it; a handler that throws is taken as having returned 0.
LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
