#include "automation/ClassFactory.h"

#include "automation/InterfaceMap.h"

#include <new>

namespace {

IUnknown* FactoryInterface(void* object) {
    return static_cast<CClassFactory*>(object);
}

const InterfaceMapEntry kFactoryInterfaces[] = {
    {&IID_IClassFactory, &FactoryInterface},
    {nullptr, nullptr},
};

} // namespace

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
    return FindInterface(this, kFactoryInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    platform::ScopedLock<platform::CriticalSection> lock(m_lock);
    const LONG count = InterlockedIncrement(&m_refCount);
    if (count == 2)
        g_module.Lock();
    return static_cast<ULONG>(count);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    LONG count;
    {
        platform::ScopedLock<platform::CriticalSection> lock(m_lock);
        count = InterlockedDecrement(&m_refCount);
    }
    if (count == 0)
        delete this;
    else if (count == 1)
        g_module.Unlock();
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    // An aggregated object must be handed out as its own (non-delegating) IUnknown.
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return m_createObject(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock)
        g_module.LockServer();
    else
        g_module.UnlockServer();
    return S_OK;
}

HRESULT CreateClassFactory(ObjectCreator creator, REFIID iid, void** out) {
    CClassFactory* factory = new (std::nothrow) CClassFactory(creator);
    if (factory == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT result = factory->QueryInterface(iid, out);
    if (result != S_OK)
        delete factory;
    return result;
}
