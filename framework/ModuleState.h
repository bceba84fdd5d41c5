#pragma once
// The framework's module state: which module's resources, application object and
// windows the framework serves on this thread. Every module of the process shares
// one current state per thread; each entry into a module switches to its own
// state and puts back exactly what it found.

#include <windows.h>

class CWinApp;

class AFX_MODULE_STATE {
public:
    AFX_MODULE_STATE(BOOL dll, WNDPROC windowProc, DWORD version);
    virtual ~AFX_MODULE_STATE();
    AFX_MODULE_STATE(const AFX_MODULE_STATE&) = delete;
    AFX_MODULE_STATE& operator=(const AFX_MODULE_STATE&) = delete;

    BOOL m_dll;
    WNDPROC m_windowProc;
    DWORD m_version;
    HINSTANCE m_hCurrentInstanceHandle = nullptr;
    HINSTANCE m_hCurrentResourceHandle = nullptr;
    CWinApp* m_pCurrentWinApp = nullptr;
};

// The framework's per-thread state: the current module state and the slot that
// keeps the previous one while a module's entry point runs.
struct AFX_THREAD_STATE {
    AFX_MODULE_STATE* m_pModuleState = nullptr;
    AFX_MODULE_STATE* m_pPrevModuleState = nullptr;
};

AFX_THREAD_STATE* AfxGetThreadState();
AFX_MODULE_STATE* AfxGetModuleState();
// Makes state current on this thread and returns the state that was current.
AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* state);

// Makes a module's state current for one scope and restores what it found, on
// every way out, exceptions included.
class AFX_MAINTAIN_STATE2 {
public:
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* state);
    ~AFX_MAINTAIN_STATE2();
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

private:
    AFX_MODULE_STATE* m_pPrevModuleState;
    AFX_THREAD_STATE* m_pThreadState;
};
