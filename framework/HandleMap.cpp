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
AFX_HANDLE_MAP* AllocateMap(UINT capacity) {
    auto* map = static_cast<AFX_HANDLE_MAP*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, MapBytes(capacity)));
    if (map != nullptr)
        map->nCapacity = capacity;
    return map;
}

} // namespace

BOOL AfxMapWindow(HWND hWnd, CWnd* pWnd) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    if (state == nullptr)
        return FALSE;
    AFX_HANDLE_MAP* map = state->m_pHandleMap;
    if (map == nullptr) {
        map = AllocateMap(kInitialCapacity);
        if (map == nullptr)
            return FALSE;
        state->m_pHandleMap = map;
    }
    for (UINT i = 0; i < map->nCount; ++i) {
        if (map->entries[i].hWnd == hWnd) {
            map->entries[i].pWnd = pWnd;
            return TRUE;
        }
    }
    if (map->nCount == map->nCapacity) {
        AFX_HANDLE_MAP* grown = AllocateMap(map->nCapacity * 2);
        if (grown == nullptr)
            return FALSE;
        grown->nCount = map->nCount;
        std::memcpy(grown->entries, map->entries, map->nCount * sizeof(AFX_HANDLE_MAP_ENTRY));
        const platform::UniqueLocal previous(map);
        map = grown;
        state->m_pHandleMap = map;
    }
    map->entries[map->nCount++] = AFX_HANDLE_MAP_ENTRY{hWnd, pWnd};
    return TRUE;
}

void AfxUnmapWindow(HWND hWnd) {
    AFX_THREAD_STATE* state = AfxGetThreadState();
    AFX_HANDLE_MAP* map = state != nullptr ? state->m_pHandleMap : nullptr;
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
    const AFX_HANDLE_MAP* map = state != nullptr ? state->m_pHandleMap : nullptr;
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
        platform::UniqueLocal(std::exchange(state->m_pHandleMap, nullptr)).reset();
}
