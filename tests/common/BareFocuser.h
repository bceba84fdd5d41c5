#pragma once
// The driver object linked into a test program, without the module's COM
// identity: the wrappers add only reference counting and interface lookup to
// the driver with its IDispatch. Its calls run through the test program's own
// seams (clock, serial channel, trace writes). Programs that use it link the
// automation layer and tests/common/DriverModuleState.cpp.

#include "automation/FocuserObject.h"

namespace testing_support {

class CBareFocuser final : public CFocuserDispatch {
public:
    ~CBareFocuser() { CloseLinkForTeardown(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

} // namespace testing_support
