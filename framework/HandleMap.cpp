#include "framework/HandleMap.h"

#include "platform/Owners.h"

#include <cstring>
#include <utility>

namespace {

constexpr UINT kInitialCapacity = 8;

size_t MapBytes(UINT capacity) {
    return sizeof(AFX_HANDLE_MAP) + (capacity - 1) * sizeof(AFX_HANDLE_MAP_ENTRY);
}

// The map lives in process-heap memory, outside the C++ run-time, like the thread record that holds it.
platform::LocalPtr<AFX_HANDLE_MAP> AllocateMap(UINT capacity) {
    auto map = platform::LocalPtr<AFX_HANDLE_MAP>::Make(MapBytes(capacity));
    if (map)
        map->nCapacity = capacity;
    return map;
}

} // namespace

BOOL AfxMapWindow(HWND hWnd, CWnd* pWnd) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    if (state == nullptr)
        return FALSE;
    if (!state->m_pHandleMap) {
        state->m_pHandleMap = AllocateMap(kInitialCapacity);
        if (!state->m_pHandleMap)
            return FALSE;
    }
    AFX_HANDLE_MAP* map = state->m_pHandleMap.get();
    for (UINT i = 0; i < map->nCount; ++i) {
        if (map->entries[i].hWnd == hWnd) {
            map->entries[i].pWnd = pWnd;
            return TRUE;
        }
    }
    if (map->nCount == map->nCapacity) {
        platform::LocalPtr<AFX_HANDLE_MAP> grown = AllocateMap(map->nCapacity * 2);
        if (!grown)
            return FALSE;
        grown->nCount = map->nCount;
        std::memcpy(grown->entries, map->entries, map->nCount * sizeof(AFX_HANDLE_MAP_ENTRY));
        map = grown.get();
        state->m_pHandleMap = std::move(grown);
    }
    map->entries[map->nCount++] = AFX_HANDLE_MAP_ENTRY{hWnd, pWnd};
    return TRUE;
}

void AfxUnmapWindow(HWND hWnd) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    AFX_HANDLE_MAP* map = state != nullptr ? state->m_pHandleMap.get() : nullptr;
    if (map == nullptr)
        return;
    for (UINT i = 0; i < map->nCount; ++i) {
        if (map->entries[i].hWnd == hWnd) {
            map->entries[i] = map->entries[--map->nCount];
            return;
        }
    }
}

CWnd* AfxLookupWindow(HWND hWnd) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    const AFX_HANDLE_MAP* map = state != nullptr ? state->m_pHandleMap.get() : nullptr;
    if (map == nullptr || hWnd == nullptr)
        return nullptr;
    for (UINT i = 0; i < map->nCount; ++i) {
        if (map->entries[i].hWnd == hWnd)
            return map->entries[i].pWnd;
    }
    return nullptr;
}

void AfxFreeHandleMap(AFX_THREAD_STATE* state) {
    if (state != nullptr)
        state->m_pHandleMap.reset();
}
