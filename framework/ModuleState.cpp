#include "framework/ModuleState.h"

#include "framework/DynLinkLibrary.h"
#include "framework/HandleMap.h"
#include "platform/Owners.h"

namespace {

// This copy's TLS slot of the thread states, plus one (0: not allocated yet).
volatile LONG g_tlsIndexPlusOne = 0;

// Every record of this copy, newest first, so that the module's detach can free
// those of threads that are still running. The list owns its records; its links
// are plain pointers because the detach frees it after the run-time has torn down
// the module's static objects.
SRWLOCK g_recordsLock = SRWLOCK_INIT;
AFX_THREAD_STATE* g_records = nullptr;

DWORD ThreadStateIndex() {
    const LONG known = g_tlsIndexPlusOne;
    if (known != 0)
        return static_cast<DWORD>(known - 1);
    const DWORD mine = TlsAlloc();
    if (mine == TLS_OUT_OF_INDEXES)
        return TLS_OUT_OF_INDEXES;
    // Two threads may get here at once: the first to store wins and the other
    // gives its slot back.
    const LONG stored = InterlockedCompareExchange(&g_tlsIndexPlusOne, static_cast<LONG>(mine + 1), 0);
    if (stored == 0)
        return mine;
    TlsFree(mine);
    return static_cast<DWORD>(stored - 1);
}

// The thread's state if it has one; never allocates.
AFX_THREAD_STATE* PeekThreadState() {
    const LONG known = g_tlsIndexPlusOne;
    return known != 0 ? static_cast<AFX_THREAD_STATE*>(TlsGetValue(static_cast<DWORD>(known - 1))) : nullptr;
}

void LinkRecord(AFX_THREAD_STATE* state) {
    AcquireSRWLockExclusive(&g_recordsLock);
    state->m_pNextState = g_records;
    if (g_records != nullptr)
        g_records->m_pPrevState = state;
    g_records = state;
    ReleaseSRWLockExclusive(&g_recordsLock);
}

// Takes state out of the list; the caller owns it from here.
platform::LocalPtr<AFX_THREAD_STATE> UnlinkRecord(AFX_THREAD_STATE* state) {
    AcquireSRWLockExclusive(&g_recordsLock);
    if (state->m_pPrevState != nullptr)
        state->m_pPrevState->m_pNextState = state->m_pNextState;
    else
        g_records = state->m_pNextState;
    if (state->m_pNextState != nullptr)
        state->m_pNextState->m_pPrevState = state->m_pPrevState;
    ReleaseSRWLockExclusive(&g_recordsLock);
    return platform::LocalPtr<AFX_THREAD_STATE>(state);
}

} // namespace

void* CNoTrackObject::operator new(size_t size) noexcept {
    return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size);
}

void* CNoTrackObject::operator new(size_t size, const std::nothrow_t&) noexcept {
    return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size);
}

void CNoTrackObject::operator delete(void* p) noexcept {
    if (p != nullptr)
        LocalFree(p);
}

void CNoTrackObject::operator delete(void* p, const std::nothrow_t&) noexcept {
    if (p != nullptr)
        LocalFree(p);
}

AFX_MODULE_STATE::~AFX_MODULE_STATE() {
    while (m_pLibraryList != nullptr)
        delete m_pLibraryList; // unlinks itself
}

AFX_THREAD_STATE* AfxGetThreadState() {
    const DWORD index = ThreadStateIndex();
    if (index == TLS_OUT_OF_INDEXES)
        return nullptr;
    auto* state = static_cast<AFX_THREAD_STATE*>(TlsGetValue(index));
    if (state != nullptr)
        return state;
    auto record = platform::LocalPtr<AFX_THREAD_STATE>::Make();
    if (!record || !TlsSetValue(index, record.get()))
        return nullptr;
    state = record.release();
    LinkRecord(state);
    return state;
}

namespace {

// Constant-initialised: the module sets it from its entry point, before the
// run-time has constructed anything.
AFX_MODULE_STATE* g_driverModuleState = nullptr;

} // namespace

void SetDriverModuleState(AFX_MODULE_STATE* state) {
    g_driverModuleState = state;
}

AFX_MODULE_STATE* GetDriverModuleState() {
    return g_driverModuleState;
}

AFX_MODULE_STATE* AfxGetModuleState() {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    return state != nullptr ? state->m_pModuleState : nullptr;
}

AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* moduleState) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    if (state == nullptr)
        return nullptr;
    AFX_MODULE_STATE* previous = state->m_pModuleState;
    state->m_pModuleState = moduleState;
    return previous;
}

AFX_MAINTAIN_STATE2::AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* state)
    : m_pPrevModuleState(nullptr), m_pThreadState(AfxGetThreadState()) {
    if (m_pThreadState != nullptr) {
        m_pPrevModuleState = m_pThreadState->m_pModuleState;
        m_pThreadState->m_pModuleState = state;
    }
}

AFX_MAINTAIN_STATE2::~AFX_MAINTAIN_STATE2() {
    if (m_pThreadState != nullptr)
        m_pThreadState->m_pModuleState = m_pPrevModuleState;
}

void AfxCoreInitModule() {
    ThreadStateIndex();
}

void AfxCoreTermModule() {
    const LONG known = InterlockedExchange(&g_tlsIndexPlusOne, 0);
    AcquireSRWLockExclusive(&g_recordsLock);
    AFX_THREAD_STATE* records = g_records;
    g_records = nullptr;
    ReleaseSRWLockExclusive(&g_recordsLock);
    while (records != nullptr) {
        const platform::LocalPtr<AFX_THREAD_STATE> record(records); // taken from the list
        records = record->m_pNextState;
    }
    if (known != 0)
        TlsFree(static_cast<DWORD>(known - 1));
}

void AfxLockTempMaps() {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    if (state != nullptr)
        ++state->m_nTempMapLock;
}

BOOL AfxUnlockTempMaps(BOOL deleteTemps) {
    AFX_THREAD_STATE* state = PeekThreadState();
    if (state == nullptr || state->m_nTempMapLock <= 0)
        return FALSE;
    if (--state->m_nTempMapLock != 0 || !deleteTemps)
        return FALSE;
    if (!state->m_pHandleMap || state->m_pHandleMap->nCount != 0)
        return FALSE;
    AfxFreeHandleMap(state);
    return TRUE;
}

void AfxTermThread(HINSTANCE) {
    AFX_THREAD_STATE* state = PeekThreadState();
    if (state == nullptr)
        return;
    AfxFreeHandleMap(state);
    state->m_nTempMapLock = 0;
}

void AfxReleaseThreadState() {
    AFX_THREAD_STATE* state = PeekThreadState();
    if (state == nullptr || state->m_pModuleState != nullptr || state->m_pPrevModuleState != nullptr ||
        state->m_pHandleMap || state->m_nTempMapLock != 0)
        return;
    TlsSetValue(static_cast<DWORD>(g_tlsIndexPlusOne - 1), nullptr);
    UnlinkRecord(state).reset();
}

HRESULT AfxDllCanUnloadNow() {
    const AFX_MODULE_STATE* state = AfxGetModuleState();
    return state != nullptr && state->m_nLiveWindows > 0 ? S_FALSE : S_OK;
}
