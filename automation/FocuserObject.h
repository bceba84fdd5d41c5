#pragma once
// The COM identity of the driver object: CFocuserObject stands alone,
// CFocuserAggObject lives inside an outer object. Both answer QueryInterface from
// one interface map (IFocuser, IDispatch on the same pointer, ISupportErrorInfo),
// count themselves in the module's lock count from construction to the very end
// of their teardown, and switch an open link off before their memory goes.

#include "driver/Focuser.h"

#include <windows.h>
#include <unknwn.h>

class CFocuserObject final : public CFocuser {
public:
    CFocuserObject() noexcept;
    CFocuserObject(const CFocuserObject&) = delete;
    CFocuserObject& operator=(const CFocuserObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    // Plain counts: an apartment-model object is entered by one thread at a time.
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Destroys an object that has no references left.
    void Teardown();

private:
    ~CFocuserObject() = default;

    LONG m_refCount = 0;
};

class CFocuserAggObject final : public IUnknown {
public:
    explicit CFocuserAggObject(IUnknown* outer) noexcept;
    CFocuserAggObject(const CFocuserAggObject&) = delete;
    CFocuserAggObject& operator=(const CFocuserAggObject&) = delete;

    // The non-delegating IUnknown, held only by the outer object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    void Teardown();

private:
    // The driver face inside the outer object: its IUnknown members delegate.
    class CContained final : public CFocuser {
    public:
        explicit CContained(IUnknown* outer) noexcept : m_outer(outer) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        IUnknown* m_outer; // not a reference: the outer object owns this one
    };

    ~CFocuserAggObject() = default;

    LONG m_refCount = 0;
    CContained m_contained;
};

// The map's object creator: stand-alone without an outer object, aggregated with one.
HRESULT CreateFocuserInstance(IUnknown* outer, REFIID iid, void** out);
