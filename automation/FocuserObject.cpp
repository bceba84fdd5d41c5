#include "automation/FocuserObject.h"

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

// A new object (null when there was no memory) asked for iid; an object that
// cannot answer goes at once.
template <class Object> HRESULT AskNewObject(Object* object, REFIID iid, void** out) {
    if (object == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT result = object->QueryInterface(iid, out);
    if (result != S_OK)
        object->Teardown();
    return result;
}

} // namespace

HRESULT STDMETHODCALLTYPE CFocuserObject::QueryInterface(REFIID iid, void** out) {
    return FindInterface(static_cast<CFocuser*>(this), kFocuserInterfaces, iid, out);
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
    if (outer == nullptr)
        return AskNewObject(new (std::nothrow) CFocuserObject, iid, out);
    return AskNewObject(new (std::nothrow) CFocuserAggObject(outer), iid, out);
}
