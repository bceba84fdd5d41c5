// A night in a host that creates the driver, uses it, releases it and lets the
// server go between uses: many load and unload cycles must leave the host's TLS
// slots, handles and private memory where they were.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"
#include "tests/common/TypeLibRegistration.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/ProcessUsage.h"

#include <gtest/gtest.h>

#include <cstdio>

using testing_support::CurrentUsage;
using testing_support::GetClassObjectFn;
using testing_support::Hr;
using testing_support::ProcessUsage;

namespace {

constexpr int kCycles = 2000;
constexpr int kWarmUpCycles = 20;
// How far the host may drift over all the cycles. Before the run-time gave back
// what it took at load, one cycle cost a 32-bit host one TLS slot, two handles
// and 19 KB, a 64-bit host 73 KB.
constexpr long kSlotBound = 1;
constexpr long kHandleBound = 8;
constexpr long long kPrivateBytesBound = 1024 * 1024;
// Checked this often, so that a leak of slots ends the test with a message
// rather than the host with winpthreads' abort when the slots run out.
constexpr int kCheckEvery = 500;

// One use of the server as COM makes it: load, class object, object, a
// late-bound and an early-bound call, release, the unload question, unload.
// Empty on success, else what went wrong.
std::string OneCycle(const std::string& path) {
    platform::UniqueModule module(LoadLibraryA(path.c_str()));
    if (!module)
        return "LoadLibrary failed, error " + std::to_string(GetLastError());
    std::string fault;
    {
        const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetClassObject")));
        const auto canUnloadNow = reinterpret_cast<testing_support::CanUnloadNowFn>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "DllCanUnloadNow")));
        platform::ComPtr<IClassFactory> factory;
        platform::ComPtr<IFocuser> focuser;
        HRESULT hr = getClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void());
        if (hr == S_OK)
            hr = factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void());
        factory.reset();
        DISPID dispid = 0;
        OLECHAR name[] = L"MaxStep";
        LPOLESTR names[] = {name};
        if (hr == S_OK)
            hr = focuser->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
        platform::UniqueVariant late;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        if (hr == S_OK)
            hr = focuser->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                 late.put(), nullptr, nullptr);
        LONG early = 0;
        if (hr == S_OK)
            hr = focuser->get_MaxStep(&early);
        if (hr != S_OK)
            fault = "a call failed: " + Hr(hr);
        else if (late->vt != VT_I4 || late->lVal != early)
            fault = "the late-bound MaxStep differs from the early-bound " + std::to_string(early);
        focuser.reset();
        if (fault.empty() && canUnloadNow() != S_OK)
            fault = "DllCanUnloadNow did not answer S_OK with everything released";
    }
    module.reset();
    if (fault.empty() && GetModuleHandleA(path.c_str()) != nullptr)
        fault = "the server is still loaded after FreeLibrary";
    return fault;
}

TEST(LoadUnloadCycles, TwoThousandUsesLeaveTheHostsSlotsHandlesAndMemoryWithinFixedBounds) {
    platform::ComApartment apartment;
    const std::string path = testing_support::DriverModulePath();
    TypeLibRegistration typeLib;
    ASSERT_EQ(S_OK, typeLib.Register(path));

    // The first uses load the system libraries COM needs and fill their caches.
    for (int i = 0; i < kWarmUpCycles; ++i)
        ASSERT_EQ("", OneCycle(path)) << "warm-up cycle " << i;
    const ProcessUsage before = CurrentUsage();
    const double started = testing_support::NowMs();
    ProcessUsage after = before;
    for (int i = 1; i <= kCycles; ++i) {
        ASSERT_EQ("", OneCycle(path)) << "cycle " << i;
        if (i % kCheckEvery == 0 || i == kCycles) {
            after = CurrentUsage();
            ASSERT_LE(before.freeTlsSlots - after.freeTlsSlots, kSlotBound)
                << "TLS slots lost after " << i << " cycles";
            ASSERT_LE(after.handles - before.handles, kHandleBound)
                << "handles gained after " << i << " cycles";
            ASSERT_LE(after.privateBytes - before.privateBytes, kPrivateBytesBound)
                << "private memory gained after " << i << " cycles";
        }
    }
    std::printf("%d cycles in %.1f s: free TLS slots %ld -> %ld, handles %ld -> %ld, private memory %lld -> "
                "%lld KB\n",
                kCycles, (testing_support::NowMs() - started) / 1000.0, before.freeTlsSlots,
                after.freeTlsSlots, before.handles, after.handles, before.privateBytes / 1024,
                after.privateBytes / 1024);
}

} // namespace
