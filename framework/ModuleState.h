#pragma once
// The framework's module state: which module's resources, application object and
// windows the framework serves on this thread. Every module of the process shares
// one current state per thread; each entry into a module switches to its own
// state and puts back exactly what it found.
//
// The framework is a static library: each module that links it (the driver DLL,
// a host program, test programs) carries its own copy with its own per-thread
// states behind a TLS slot of its own, and no name that another program could
// take or forge. A module's copy sees only the states its own entry points make
// current; it frees its threads' records and its slot when the module is unloaded.

#include "platform/Owners.h"

#include <windows.h>

#include <new>

class CWinApp;
class CWnd;
class CDynLinkLibrary;

// Objects the framework allocates outside the module's C++ run-time, so that they
// can be freed at a thread's detach and after the module's static objects are gone.
class CNoTrackObject {
public:
    static void* operator new(size_t size) noexcept;
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, const std::nothrow_t&) noexcept;
    virtual ~CNoTrackObject() = default;
};

class AFX_MODULE_STATE : public CNoTrackObject {
public:
    // windowProc: the procedure the module's windows are subclassed with; it makes
    // the module's state current and calls AfxWndProc. Null: AfxWndProc itself.
    // The DLL flag and the framework version are taken and not kept: nothing here
    // depends on them.
    // constexpr, so that a module's static state is initialised before any of the
    // module's constructors runs (its application object registers itself in it).
    constexpr AFX_MODULE_STATE(BOOL /*dll*/, WNDPROC windowProc, DWORD /*version*/) noexcept
        : m_windowProc(windowProc) {}
    // Frees the extension libraries still in the module's resource chain.
    ~AFX_MODULE_STATE() override;
    AFX_MODULE_STATE(const AFX_MODULE_STATE&) = delete;
    AFX_MODULE_STATE& operator=(const AFX_MODULE_STATE&) = delete;

    WNDPROC m_windowProc;
    HINSTANCE m_hCurrentInstanceHandle = nullptr;
    HINSTANCE m_hCurrentResourceHandle = nullptr;
    CWinApp* m_pCurrentWinApp = nullptr;
    // Windows and dialogs of this module that are alive (subclassed, not yet
    // destroyed), on any thread. AfxDllCanUnloadNow answers S_FALSE while > 0.
    volatile LONG m_nLiveWindows = 0;
    // Extension libraries in this module's resource chain, newest first.
    CDynLinkLibrary* m_pLibraryList = nullptr;
};

// The state of a DLL module, as made by the module's own static object.
class _AFX_DLL_MODULE_STATE : public AFX_MODULE_STATE {
public:
    constexpr _AFX_DLL_MODULE_STATE(BOOL dll, WNDPROC windowProc, DWORD version) noexcept
        : AFX_MODULE_STATE(dll, windowProc, version) {}
};

// The framework's map of windows attached to objects on one thread.
struct AFX_HANDLE_MAP_ENTRY {
    HWND hWnd;
    CWnd* pWnd;
};
struct AFX_HANDLE_MAP {
    UINT nCount;
    UINT nCapacity;
    AFX_HANDLE_MAP_ENTRY entries[1];
};

// The framework's per-thread state: the current module state, the slot that
// keeps the previous one while a module's entry point runs, and the thread's
// temporary maps. Allocated on a thread's first use of the framework; a module's
// thread detach frees it with AfxReleaseThreadState once its own switch is undone
// and the record holds nothing the module still needs, and AfxCoreTermModule
// frees the records of threads still running when the module goes.
struct AFX_THREAD_STATE {
    AFX_MODULE_STATE* m_pModuleState = nullptr;
    AFX_MODULE_STATE* m_pPrevModuleState = nullptr;
    // HWND -> CWnd of windows attached on this thread; allocated on the first
    // attach, freed by AfxUnlockTempMaps when empty and unlocked, by AfxTermThread
    // and with the record.
    platform::LocalPtr<AFX_HANDLE_MAP> m_pHandleMap;
    LONG m_nTempMapLock = 0;
    // Every record of this copy, for AfxCoreTermModule.
    AFX_THREAD_STATE* m_pNextState = nullptr;
    AFX_THREAD_STATE* m_pPrevState = nullptr;
};

// Null only when the process is out of TLS slots or memory; callers then do nothing.
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

// Prepares this copy's per-thread states; a module calls it once when it attaches.
void AfxCoreInitModule();
// Frees the records of every thread and the TLS slot behind them; a module calls
// it as the last step of its unload, when no entry point of it can run any more.
// Never at the process exit: a thread ended there may hold the records' lock.
// A later use of the framework starts afresh.
void AfxCoreTermModule();

// Temporary maps: while locked, the thread's handle map is kept even when empty.
void AfxLockTempMaps();
// Unlocks once; at lock count 0 with deleteTemps nonzero (the detach code passes
// -1) an empty handle map is freed. Returns TRUE if the map was freed.
BOOL AfxUnlockTempMaps(BOOL deleteTemps = TRUE);
// Frees the calling thread's temporary maps; called at thread detach. Windows
// still in the map are forgotten (their thread is ending, they go with it).
void AfxTermThread(HINSTANCE instance = nullptr);
// Frees the ending thread's record when no module state is current or saved in it
// and it holds no maps; a record that still matters to the module stays.
void AfxReleaseThreadState();

// S_OK when no window or dialog of the current module is alive, else S_FALSE.
HRESULT AfxDllCanUnloadNow();

// The state of the module that links this copy of the framework: the state every
// entry into the module makes current. The module hands it down when it attaches,
// before any other entry can run, so that the layers below the module make the
// switch without knowing the module. Null until then.
void SetDriverModuleState(AFX_MODULE_STATE* state);
AFX_MODULE_STATE* GetDriverModuleState();
