#pragma once
// IDispatch for a dual interface, answered by a module-wide type-information
// cache: the four IDispatch members over a class that implements the interface's
// own members. The type information converts the arguments and calls those members
// through the interface's table.

#include "automation/TypeInfoCache.h"

#include <windows.h>
#include <oaidl.h>

// Base: the class with the interface's own members; Interface: the dual interface
// (derived from IDispatch) that the type information describes; Cache: its cache.
template <class Base, class Interface, CTypeInfoCache& Cache> class CDispatchThroughCache : public Base {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT /*index*/, LCID locale, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr)
            return E_POINTER;
        return Cache.GetTypeInfo(locale, typeInfo);
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID /*iid*/, LPOLESTR* names, UINT nameCount, LCID locale,
                                            DISPID* dispids) override {
        return Cache.GetIDsOfNames(names, nameCount, locale, dispids);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID /*iid*/, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override {
        return Cache.Invoke(static_cast<Interface*>(this), dispid, locale, flags, params, result, exception,
                            argError);
    }

protected:
    CDispatchThroughCache() = default;
    ~CDispatchThroughCache() = default;
};
