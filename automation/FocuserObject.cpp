#include "automation/FocuserObject.h"

#include "automation/DriverModule.h"
#include "automation/InterfaceMap.h"

#include <new>

namespace {

IUnknown* FocuserInterface(void* object) {
    return static_cast<IFocuser*>(static_cast<CFocuser*>(object));
}
IUnknown* ErrorInfoInterface(void* object) {
    return static_cast<ISupportErrorInfo*>(static_cast<CFocuser*>(object));
}

// IDispatch's entries head the IFocuser table, so both share one pointer, which is
// also the stand-alone object's identity.
const InterfaceMapEntry kFocuserInterfaces[] = {
    {&IID_IFocuser, &FocuserInterface},
    {&IID_IDispatch, &FocuserInterface},
    {&IID_ISupportErrorInfo, &ErrorInfoInterface},
    {nullptr, nullptr},
};

} // namespace

CFocuserObject::CFocuserObject() noexcept {
    g_module.Lock();
}

HRESULT STDMETHODCALLTYPE CFocuserObject::QueryInterface(REFIID iid, void** out) {
    return FindInterface(static_cast<CFocuser*>(this), kFocuserInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE CFocuserObject::AddRef() {
    return static_cast<ULONG>(++m_refCount);
}

ULONG STDMETHODCALLTYPE CFocuserObject::Release() {
    const LONG count = --m_refCount;
    if (count == 0)
        Teardown();
    return static_cast<ULONG>(count);
}

void CFocuserObject::Teardown() {
    // Calls made while the link is switched off must not start a second teardown.
    m_refCount = 1;
    CloseLinkForTeardown();
    delete this;
    // Last: from here the server may be unloaded, so nothing of the object may be
    // left to run.
    g_module.Unlock();
}

CFocuserAggObject::CFocuserAggObject(IUnknown* outer) noexcept : m_contained(outer) {
    g_module.Lock();
}

HRESULT STDMETHODCALLTYPE CFocuserAggObject::QueryInterface(REFIID iid, void** out) {
    if (IsEqualIID(iid, IID_IUnknown)) {
        if (out == nullptr)
            return E_POINTER;
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return FindInterface(static_cast<CFocuser*>(&m_contained), kFocuserInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE CFocuserAggObject::AddRef() {
    return static_cast<ULONG>(++m_refCount);
}

ULONG STDMETHODCALLTYPE CFocuserAggObject::Release() {
    const LONG count = --m_refCount;
    if (count == 0)
        Teardown();
    return static_cast<ULONG>(count);
}

void CFocuserAggObject::Teardown() {
    m_refCount = 1;
    m_contained.CloseLinkForTeardown();
    delete this;
    g_module.Unlock();
}

HRESULT STDMETHODCALLTYPE CFocuserAggObject::CContained::QueryInterface(REFIID iid, void** out) {
    const HRESULT result = m_outer->QueryInterface(iid, out);
    if (SUCCEEDED(result))
        return result;
    return FindInterface(static_cast<CFocuser*>(this), kFocuserInterfaces, iid, out);
}

ULONG STDMETHODCALLTYPE CFocuserAggObject::CContained::AddRef() {
    return m_outer->AddRef();
}

ULONG STDMETHODCALLTYPE CFocuserAggObject::CContained::Release() {
    return m_outer->Release();
}

HRESULT CreateFocuserInstance(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    HRESULT result;
    if (outer == nullptr) {
        CFocuserObject* object = new (std::nothrow) CFocuserObject;
        if (object == nullptr)
            return E_OUTOFMEMORY;
        result = object->QueryInterface(iid, out);
        if (result != S_OK)
            object->Teardown();
    } else {
        CFocuserAggObject* object = new (std::nothrow) CFocuserAggObject(outer);
        if (object == nullptr)
            return E_OUTOFMEMORY;
        result = object->QueryInterface(iid, out);
        if (result != S_OK)
            object->Teardown();
    }
    return result;
}
