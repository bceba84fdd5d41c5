// A night in a host that creates the driver, uses it, releases it and lets the
// server go between uses: many load and unload cycles must leave the host's TLS
// slots, handles and private memory where they were.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"
#include "tests/common/TypeLibRegistration.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/ProcessUsage.h"
#include "tests/common/SettingsKey.h"
#include "tests/module/ImportTable.h"
#include "simulator/FocuserSimulator.h"

#include <gtest/gtest.h>

#include <cstdio>

using testing_support::CurrentUsage;
using testing_support::GetClassObjectFn;
using testing_support::Hr;
using testing_support::LoadedDriver;
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

// The server's first QueryPerformanceFrequency call after arming stays this
// long, so that the other thread makes its first timed call meanwhile.
constexpr DWORD kFirstFrequencyMs = 200;
constexpr int kRaceCycles = 6;
volatile LONG g_slowNextFrequency = 0;
BOOL(WINAPI* g_realFrequency)(LARGE_INTEGER*) = nullptr;

BOOL WINAPI SlowFirstFrequency(LARGE_INTEGER* frequency) {
    if (InterlockedExchange(&g_slowNextFrequency, 0) != 0)
        Sleep(kFirstFrequencyMs);
    return g_realFrequency(frequency);
}

struct Mover {
    IFocuser* focuser;
    HANDLE go;
    HRESULT result = E_FAIL;
};

DWORD WINAPI MoveOnGo(void* param) {
    auto* mover = static_cast<Mover*>(param);
    WaitForSingleObject(mover->go, INFINITE);
    mover->result = mover->focuser->Move(1);
    return 0;
}

// One fresh load: two linked objects, whose Move calls (the first timed calls
// of the load) start together on two threads. Empty on success.
std::string RaceFirstTimedCalls(testing_support::SettingsKeyGuard& settings) {
    LoadedDriver driver;
    if (!driver.loaded())
        return driver.problem();
    platform::ComPtr<IFocuser> focusers[2];
    const testing_support::PortPair* pairs[2] = {&testing_support::FirstPair(),
                                                 &testing_support::SecondPair()};
    for (int i = 0; i < 2; ++i) {
        settings.Write(std::to_string(pairs[i]->driverIndex).c_str(), "20000");
        if (driver.Create(focusers[i]) != S_OK || focusers[i]->put_Link(VARIANT_TRUE) != S_OK)
            return std::string("linking on ") + pairs[i]->driver + " failed";
    }
    {
        testing_support::ImportHook hook(driver.module(), "kernel32.dll", "QueryPerformanceFrequency",
                                         reinterpret_cast<void*>(&SlowFirstFrequency));
        if (!hook.installed())
            return "the server does not import QueryPerformanceFrequency";
        g_realFrequency = reinterpret_cast<decltype(g_realFrequency)>(hook.original());
        const platform::UniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        Mover movers[2] = {{focusers[0].get(), go.get()}, {focusers[1].get(), go.get()}};
        platform::UniqueHandle threads[2];
        for (int i = 0; i < 2; ++i)
            threads[i].reset(CreateThread(nullptr, 0, MoveOnGo, &movers[i], 0, nullptr));
        if (!threads[0] || !threads[1])
            return "CreateThread failed";
        g_slowNextFrequency = 1;
        SetEvent(go.get());
        for (const platform::UniqueHandle& thread : threads)
            if (WaitForSingleObject(thread.get(), 10000) != WAIT_OBJECT_0)
                return "a Move did not come back";
        g_slowNextFrequency = 0;
        for (const Mover& mover : movers)
            if (mover.result != S_OK)
                return "Move failed: " + Hr(mover.result);
    }
    for (platform::ComPtr<IFocuser>& focuser : focusers) {
        VARIANT_BOOL moving = VARIANT_TRUE;
        for (int polls = 0; moving != VARIANT_FALSE && polls < 100; ++polls)
            focuser->get_IsMoving(&moving);
        focuser.reset();
    }
    return driver.Unload() ? "" : "the server is still loaded after its unload";
}

TEST(LoadUnloadCycles, TwoThreadsMakingTheFirstTimedCallsOfEachLoadTogetherLeaveTheHostsTlsSlots) {
    platform::ComApartment apartment;
    testing_support::SettingsKeyGuard settings;
    CFocuserSimulator simulators[2];
    ASSERT_TRUE(simulators[0].Start(testing_support::FirstPair().simulator));
    ASSERT_TRUE(simulators[1].Start(testing_support::SecondPair().simulator));
    ASSERT_EQ("", RaceFirstTimedCalls(settings)) << "warm-up cycle";
    const ProcessUsage before = CurrentUsage();
    for (int i = 1; i <= kRaceCycles; ++i)
        ASSERT_EQ("", RaceFirstTimedCalls(settings)) << "cycle " << i;
    const ProcessUsage after = CurrentUsage();
    EXPECT_LE(before.freeTlsSlots - after.freeTlsSlots, kSlotBound)
        << "free TLS slots " << before.freeTlsSlots << " -> " << after.freeTlsSlots << " over " << kRaceCycles
        << " cycles";
}

} // namespace
