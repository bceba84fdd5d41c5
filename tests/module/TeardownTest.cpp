// The last Release of a driver object, watched from inside: while its teardown
// closes the port and frees the object, the server must not look unloadable, or
// another apartment's CoFreeUnusedLibraries could unmap it under the teardown.
// The server's CloseHandle, malloc and free are watched through its import table.

#include "simulator/FocuserSimulator.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "tests/module/ImportTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using testing_support::CanUnloadNowFn;
using testing_support::Hr;
using testing_support::ImportHook;
using testing_support::LoadedDriver;

namespace {

// What the hooks saw between Begin and End, on the test's thread.
struct TeardownWatch {
    bool active = false;
    DWORD thread = 0;
    CanUnloadNowFn canUnloadNow = nullptr;
    int closes = 0;
    int frees = 0;
    // DllCanUnloadNow asked at each watched call: any answer but S_FALSE counts.
    int unloadable = 0;
    std::set<void*> allocated;
    std::set<void*> freed;

    BOOL(WINAPI* realCloseHandle)(HANDLE) = nullptr;
    void*(__cdecl* realMalloc)(size_t) = nullptr;
    void(__cdecl* realFree)(void*) = nullptr;
};
TeardownWatch g_teardown;

bool Watching() {
    return g_teardown.active && GetCurrentThreadId() == g_teardown.thread;
}

// Asks the server, from inside one of its own platform calls, whether it could go now.
void AskWhetherUnloadable() {
    g_teardown.active = false; // DllCanUnloadNow's own calls are not part of the teardown
    if (g_teardown.canUnloadNow() != S_FALSE)
        ++g_teardown.unloadable;
    g_teardown.active = true;
}

BOOL WINAPI TeardownCloseHandle(HANDLE handle) {
    if (Watching()) {
        ++g_teardown.closes;
        AskWhetherUnloadable();
    }
    return g_teardown.realCloseHandle(handle);
}

void* __cdecl TeardownMalloc(size_t bytes) {
    void* block = g_teardown.realMalloc(bytes);
    if (Watching())
        g_teardown.allocated.insert(block);
    return block;
}

void __cdecl TeardownFree(void* block) {
    if (Watching() && block != nullptr) {
        ++g_teardown.frees;
        g_teardown.freed.insert(block);
        AskWhetherUnloadable();
    }
    g_teardown.realFree(block);
}

class TeardownHooks {
public:
    explicit TeardownHooks(const LoadedDriver& driver)
        : m_close(driver.module(), "kernel32.dll", "CloseHandle",
                  reinterpret_cast<void*>(&TeardownCloseHandle)),
          m_malloc(driver.module(), "msvcrt.dll", "malloc", reinterpret_cast<void*>(&TeardownMalloc)),
          m_free(driver.module(), "msvcrt.dll", "free", reinterpret_cast<void*>(&TeardownFree)) {
        g_teardown = TeardownWatch{};
        g_teardown.thread = GetCurrentThreadId();
        g_teardown.canUnloadNow = reinterpret_cast<CanUnloadNowFn>(
            reinterpret_cast<void*>(GetProcAddress(driver.module(), "DllCanUnloadNow")));
        g_teardown.realCloseHandle =
            reinterpret_cast<decltype(g_teardown.realCloseHandle)>(m_close.original());
        g_teardown.realMalloc = reinterpret_cast<decltype(g_teardown.realMalloc)>(m_malloc.original());
        g_teardown.realFree = reinterpret_cast<decltype(g_teardown.realFree)>(m_free.original());
    }
    TeardownHooks(const TeardownHooks&) = delete;
    TeardownHooks& operator=(const TeardownHooks&) = delete;
    ~TeardownHooks() { g_teardown.active = false; }

    bool installed() const { return m_close.installed() && m_malloc.installed() && m_free.installed(); }
    void Begin() { g_teardown.active = true; }
    void End() { g_teardown.active = false; }

private:
    ImportHook m_close;
    ImportHook m_malloc;
    ImportHook m_free;
};

// A controlling object that only owns the inner one.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown))
            return E_NOINTERFACE;
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class Teardown : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << Hr(m_apartment.result());
        ASSERT_TRUE(m_driver.loaded());
        // The factory is held only while objects are made: then nothing but the
        // object keeps the server loaded.
        ASSERT_EQ(S_OK, m_driver.GetClassObject(CLSID_Focuser, IID_IClassFactory, m_factory.put_void()));
    }

    platform::ComApartment m_apartment;
    LoadedDriver m_driver;
    platform::ComPtr<IClassFactory> m_factory;
};

TEST_F(Teardown, TheServerStaysUnloadableOnlyAfterTheLastReleaseHasFinished) {
    const testing_support::PortPair& pair = testing_support::FirstPair();
    testing_support::SettingsKeyGuard settings(std::to_string(pair.driverIndex).c_str(), "20000");
    CFocuserSimulator simulator;
    ASSERT_TRUE(simulator.Start(pair.simulator));
    struct Case {
        const char* name;
        bool aggregated;
        bool linked;
    };
    const Case cases[] = {
        {"stand-alone, link off", false, false},
        {"stand-alone, linked", false, true},
        {"aggregated, linked", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outer outer;
        IUnknown* object = nullptr;
        ASSERT_EQ(S_OK, m_factory->CreateInstance(c.aggregated ? &outer : nullptr, IID_IUnknown,
                                                  reinterpret_cast<void**>(&object)));
        if (c.linked) {
            platform::ComPtr<IFocuser> focuser;
            ASSERT_EQ(S_OK, object->QueryInterface(IID_IFocuser, focuser.put_void()));
            ASSERT_EQ(S_OK, focuser->put_Link(VARIANT_TRUE));
        }
        m_factory.reset();
        ASSERT_EQ(S_FALSE, m_driver.CanUnloadNow()) << "the object does not hold the server";

        TeardownHooks hooks(m_driver);
        ASSERT_TRUE(hooks.installed());
        hooks.Begin();
        EXPECT_EQ(0u, object->Release());
        hooks.End();
        EXPECT_GE(g_teardown.frees, 1) << "the object's memory was not freed in the teardown";
        if (c.linked) {
            EXPECT_GE(g_teardown.closes, 1) << "the teardown did not close the port";
        }
        EXPECT_EQ(0, g_teardown.unloadable)
            << "DllCanUnloadNow answered other than S_FALSE during the teardown (" << g_teardown.closes
            << " closes, " << g_teardown.frees << " frees)";
        EXPECT_EQ(S_OK, m_driver.CanUnloadNow()) << "the finished teardown still holds the server";

        ASSERT_EQ(S_OK, m_driver.GetClassObject(CLSID_Focuser, IID_IClassFactory, m_factory.put_void()));
    }
}

TEST_F(Teardown, AFailedQueryInterfaceAfterCreationDestroysTheNewObject) {
    const IID* refused[] = {&IID_IPersist, &IID_IClassFactory, &GUID_NULL};
    for (const IID* iid : refused) {
        TeardownHooks hooks(m_driver);
        ASSERT_TRUE(hooks.installed());
        void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        hooks.Begin();
        const HRESULT hr = m_factory->CreateInstance(nullptr, *iid, &out);
        hooks.End();
        EXPECT_EQ(E_NOINTERFACE, hr) << Hr(hr);
        EXPECT_EQ(nullptr, out);
        ASSERT_FALSE(g_teardown.allocated.empty()) << "no object was made";
        for (void* block : g_teardown.allocated)
            EXPECT_EQ(1u, g_teardown.freed.count(block))
                << "block " << block << " made for the object was kept";
    }
    m_factory.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

} // namespace
