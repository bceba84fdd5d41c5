#include "automation/InterfaceMap.h"

HRESULT FindInterface(void* object, const InterfaceMapEntry* map, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    const InterfaceMapEntry* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
        found = map;
    } else {
        for (const InterfaceMapEntry* entry = map; entry->iid != nullptr; ++entry) {
            if (IsEqualIID(*entry->iid, iid)) {
                found = entry;
                break;
            }
        }
    }
    if (found == nullptr || found->iid == nullptr)
        return E_NOINTERFACE;
    IUnknown* pointer = found->locate(object);
    pointer->AddRef();
    *out = pointer;
    return S_OK;
}
