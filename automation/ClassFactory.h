#pragma once
// The class object of a served class: creates its objects and holds the module
// while anybody besides the module's own cache holds it.

#include "automation/DriverModule.h"
#include "platform/Owners.h"

#include <windows.h>
#include <unknwn.h>

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(ObjectCreator creator) noexcept : m_createObject(creator) {}
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    // The count moves atomically under m_lock; crossing 2 (anybody besides the
    // cache holds the factory) raises and lowers the module's lock count with it.
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    friend HRESULT CreateClassFactory(ObjectCreator creator, REFIID iid, void** out);
    ~CClassFactory() = default;

    volatile LONG m_refCount = 0;
    ObjectCreator m_createObject;
    platform::CriticalSection m_lock;
};

// The map's class-object creator: a new factory for creator, asked for iid.
HRESULT CreateClassFactory(ObjectCreator creator, REFIID iid, void** out);
