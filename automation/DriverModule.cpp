#include "automation/DriverModule.h"

#include <new>
#include <utility>

CDriverModule g_module;

HRESULT CDriverModule::Initialize(ObjectMapEntry* map, HINSTANCE instance) {
    m_objectMap = map;
    m_lockCount = 0;
    m_serverLockCount = 0;
    m_hInstance = instance;
    m_hInstTypeLib = instance;
    m_typeInfoLock.emplace();
    m_objectMapLock.emplace();
    m_termList.reset();
    for (ObjectMapEntry* entry = m_objectMap; entry != nullptr && entry->classId != nullptr; ++entry) {
        if (entry->OnStartStop != nullptr)
            entry->OnStartStop(TRUE);
    }
    return S_OK;
}

HRESULT CDriverModule::Terminate() {
    for (ObjectMapEntry* entry = m_objectMap; entry != nullptr && entry->classId != nullptr; ++entry) {
        entry->classObject.reset();
        if (entry->OnStartStop != nullptr)
            entry->OnStartStop(FALSE);
    }
    m_typeInfoLock.reset();
    m_objectMapLock.reset();

    // No other call can be under way now, so the list is walked without its lock.
    std::unique_ptr<TermCallbackNode> node = std::move(m_termList);
    while (node) {
        node->callback(node->data);
        node = std::move(node->next);
    }
    return S_OK;
}

HRESULT CDriverModule::FindClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    HRESULT result = S_OK;
    for (ObjectMapEntry* entry = m_objectMap; entry != nullptr && entry->classId != nullptr; ++entry) {
        if (entry->CreateClassObject == nullptr || !IsEqualCLSID(*entry->classId, clsid))
            continue;
        if (!entry->classObject) {
            platform::ScopedLock<platform::CriticalSection> lock(*m_objectMapLock);
            if (!entry->classObject)
                result = entry->CreateClassObject(entry->CreateObject, IID_IUnknown,
                                                  entry->classObject.put_void());
        }
        // The cached factory is asked outside the lock.
        if (entry->classObject)
            result = entry->classObject->QueryInterface(iid, out);
        break;
    }
    if (*out == nullptr && result == S_OK)
        return CLASS_E_CLASSNOTAVAILABLE;
    return result;
}

HRESULT CDriverModule::AddTermCallback(TermCallback callback, uintptr_t data) {
    std::unique_ptr<TermCallbackNode> node(new (std::nothrow) TermCallbackNode{callback, data, nullptr});
    if (!node)
        return E_OUTOFMEMORY;
    platform::ScopedLock<platform::CriticalSection> lock(*m_typeInfoLock);
    node->next = std::move(m_termList);
    m_termList = std::move(node);
    return S_OK;
}

void CDriverModule::LockServer() {
    InterlockedIncrement(&m_serverLockCount);
    Lock();
}

void CDriverModule::UnlockServer() {
    LONG held = m_serverLockCount;
    while (held > 0) {
        const LONG seen = InterlockedCompareExchange(&m_serverLockCount, held - 1, held);
        if (seen == held) {
            Unlock();
            return;
        }
        held = seen;
    }
}
