#include "framework/ModuleState.h"

#include "framework/DynLinkLibrary.h"
#include "framework/HandleMap.h"
#include "platform/Owners.h"

#include <cstdio>

namespace {

// The process-wide record through which every copy of the framework finds the
// one TLS slot of the thread states.
struct SharedBlock {
    volatile LONG tlsIndexPlusOne;
};

// The layout version is part of the name: copies built with another thread-state
// layout keep to themselves rather than misread each other.
constexpr char kSharedBlockNameFormat[] = "Local\\MorvantisAfxThreadState.1.%lu";

// This copy's cache of the published index, plus one (0: not yet known).
volatile LONG g_tlsIndexPlusOne = 0;

class MappedView {
public:
    explicit MappedView(HANDLE mapping)
        : m_view(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedBlock))) {}
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView() {
        if (m_view != nullptr)
            UnmapViewOfFile(m_view);
    }
    SharedBlock* get() const { return static_cast<SharedBlock*>(m_view); }

private:
    void* m_view;
};

DWORD SharedTlsIndex() {
    const LONG cached = g_tlsIndexPlusOne;
    if (cached != 0)
        return static_cast<DWORD>(cached - 1);

    char name[64];
    std::snprintf(name, sizeof name, kSharedBlockNameFormat,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    platform::UniqueHandle mapping(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(SharedBlock), name));
    if (!mapping)
        return TLS_OUT_OF_INDEXES;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;

    DWORD index = TLS_OUT_OF_INDEXES;
    {
        MappedView view(mapping.get());
        if (view.get() != nullptr) {
            LONG published = view.get()->tlsIndexPlusOne;
            if (published == 0) {
                // Two copies may get here at once: the first to publish wins and
                // the other gives its slot back.
                const DWORD mine = TlsAlloc();
                if (mine != TLS_OUT_OF_INDEXES) {
                    published = InterlockedCompareExchange(&view.get()->tlsIndexPlusOne,
                                                           static_cast<LONG>(mine + 1), 0);
                    if (published == 0)
                        published = static_cast<LONG>(mine + 1);
                    else
                        TlsFree(mine);
                }
            }
            if (published != 0)
                index = static_cast<DWORD>(published - 1);
        }
    }
    // The creator's handle stays open for the rest of the process, so that a copy
    // loaded after the creator has gone still finds the same slot. Every other
    // copy closes its own.
    if (created)
        mapping.release();
    if (index != TLS_OUT_OF_INDEXES)
        InterlockedExchange(&g_tlsIndexPlusOne, static_cast<LONG>(index + 1));
    return index;
}

// The thread's state if it has one; never allocates.
AFX_THREAD_STATE* PeekThreadState() {
    const DWORD index = SharedTlsIndex();
    return index != TLS_OUT_OF_INDEXES ? static_cast<AFX_THREAD_STATE*>(TlsGetValue(index)) : nullptr;
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
    const DWORD index = SharedTlsIndex();
    if (index == TLS_OUT_OF_INDEXES)
        return nullptr;
    auto* state = static_cast<AFX_THREAD_STATE*>(TlsGetValue(index));
    if (state != nullptr)
        return state;
    void* memory = LocalAlloc(LMEM_FIXED, sizeof(AFX_THREAD_STATE));
    if (memory == nullptr)
        return nullptr;
    state = new (memory) AFX_THREAD_STATE();
    if (!TlsSetValue(index, state)) {
        LocalFree(memory);
        return nullptr;
    }
    return state;
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
    SharedTlsIndex();
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
    if (state->m_pHandleMap == nullptr || state->m_pHandleMap->nCount != 0)
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
    const DWORD index = SharedTlsIndex();
    AFX_THREAD_STATE* state = PeekThreadState();
    if (state == nullptr || state->m_pModuleState != nullptr || state->m_pPrevModuleState != nullptr ||
        state->m_pHandleMap != nullptr || state->m_nTempMapLock != 0)
        return;
    TlsSetValue(index, nullptr);
    state->~AFX_THREAD_STATE();
    LocalFree(state);
}

HRESULT AfxDllCanUnloadNow() {
    const AFX_MODULE_STATE* state = AfxGetModuleState();
    return state != nullptr && state->m_nLiveWindows > 0 ? S_FALSE : S_OK;
}
