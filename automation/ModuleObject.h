#pragma once
// The lifetime of an object the module serves: a plain reference count (an
// apartment-model object is entered by one thread at a time), and the module's
// lock count raised from construction to the very end of the teardown.

#include "automation/DriverModule.h"

#include <windows.h>
#include <unknwn.h>

// Derived: the final class, which befriends this template and defines
// PrepareTeardown (what must happen before its memory goes); Base: the class
// with the object's interfaces.
template <class Derived, class Base> class CModuleObject : public Base {
public:
    CModuleObject(const CModuleObject&) = delete;
    CModuleObject& operator=(const CModuleObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refCount); }

    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = --m_refCount;
        if (count == 0)
            Teardown();
        return static_cast<ULONG>(count);
    }

    // Destroys an object that has no references left.
    void Teardown() {
        // Calls made during the preparation must not start a second teardown.
        m_refCount = 1;
        Derived* self = static_cast<Derived*>(this);
        self->PrepareTeardown();
        delete self;
        // Last: from here the server may be unloaded, so nothing of the object may
        // be left to run.
        g_module.Unlock();
    }

protected:
    CModuleObject() noexcept { g_module.Lock(); }
    ~CModuleObject() = default;

private:
    LONG m_refCount = 0;
};
