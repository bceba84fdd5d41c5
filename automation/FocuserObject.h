#pragma once
// The COM identity of the driver object: CFocuserObject stands alone,
// CFocuserAggObject lives inside an outer object. Both answer QueryInterface from
// one interface map (IFocuser, IDispatch on the same pointer, ISupportErrorInfo),
// count themselves in the module's lock count from construction to the very end
// of their teardown, and switch an open link off before their memory goes.

#include "automation/DispatchThroughCache.h"
#include "automation/ModuleObject.h"
#include "automation/TypeInfoCache.h"
#include "driver/FocuserDriver.h"

#include <windows.h>
#include <unknwn.h>

// The driver object with late-bound calls through the module's IFocuser type information.
using CFocuserDispatch = CDispatchThroughCache<CFocuser, IFocuser, g_focuserTypeInfo>;

class CFocuserObject final : public CModuleObject<CFocuserObject, CFocuserDispatch> {
public:
    CFocuserObject() noexcept = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

private:
    friend class CModuleObject<CFocuserObject, CFocuserDispatch>;
    ~CFocuserObject() = default;
    void PrepareTeardown() { CloseLinkForTeardown(); }
};

class CFocuserAggObject final : public CModuleObject<CFocuserAggObject, IUnknown> {
public:
    explicit CFocuserAggObject(IUnknown* outer) noexcept : m_contained(outer) {}

    // The non-delegating IUnknown, held only by the outer object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

private:
    // The driver face inside the outer object: its IUnknown members delegate.
    class CContained final : public CFocuserDispatch {
    public:
        explicit CContained(IUnknown* outer) noexcept : m_outer(outer) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        IUnknown* m_outer; // not a reference: the outer object owns this one
    };

    friend class CModuleObject<CFocuserAggObject, IUnknown>;
    ~CFocuserAggObject() = default;
    void PrepareTeardown() { m_contained.CloseLinkForTeardown(); }

    CContained m_contained;
};

// The map's object creator: stand-alone without an outer object, aggregated with one.
HRESULT CreateFocuserInstance(IUnknown* outer, REFIID iid, void** out);
