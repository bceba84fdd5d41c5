// The module object driven directly (this program links the layers statically):
// initialisation, termination order, the termination list and the lock count.

#include "automation/DriverModule.h"
#include "automation/FocuserObject.h"
#include "automation/TypeInfoCache.h"
#include "tests/common/TypeLibRegistration.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/FocuserObjectMap.h"

#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using platform::ComPtr;
using testing_support::Hr;
using testing_support::References;

namespace {

int TermListLength() {
    int length = 0;
    for (const TermCallbackNode* node = g_module.m_termList.get(); node != nullptr; node = node->next.get())
        ++length;
    return length;
}

HRESULT ResolveLink(IFocuser* focuser) {
    OLECHAR name[] = L"Link";
    LPOLESTR names[] = {name};
    DISPID dispid = 0;
    return focuser->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
}

class ModuleTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result()));
        g_module.Initialize(testing_support::g_focuserObjectMap, GetModuleHandleA(nullptr));
        m_initialized = true;
    }
    void TearDown() override {
        if (m_initialized)
            g_module.Terminate();
    }

    ComPtr<IFocuser> Create() {
        ComPtr<IFocuser> focuser;
        const HRESULT hr = CreateFocuserInstance(nullptr, IID_IFocuser, focuser.put_void());
        EXPECT_EQ(S_OK, hr) << Hr(hr);
        return focuser;
    }

    platform::ComApartment m_apartment;
    TypeLibRegistration m_typeLib;
    bool m_initialized = false;
};

TEST_F(ModuleTest, TheLockCountFollowsObjectsFactoryHoldsAndServerLocks) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, g_module.FindClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(1, g_module.m_lockCount);
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(2, g_module.m_lockCount);
    ComPtr<IFocuser> focuser;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void()));
    EXPECT_EQ(3, g_module.m_lockCount);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(3, g_module.m_lockCount) << "references do not count, objects do";
    dispatch.reset();
    focuser.reset();
    EXPECT_EQ(2, g_module.m_lockCount);
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(1, g_module.m_lockCount) << "an unlock beyond the locks is ignored";
    factory.reset();
    EXPECT_EQ(0, g_module.m_lockCount);
}

struct TerminationLog {
    std::vector<int> order;
    std::vector<ULONG> factoryCounts;
    IClassFactory* factory = nullptr;
    bool typeInfoLoadedAtCallback = true;
};
TerminationLog* g_log = nullptr;

void Record(uintptr_t data) {
    g_log->order.push_back(static_cast<int>(data));
    // The cache's reference must be gone: ours is the only one left.
    g_log->factoryCounts.push_back(References(g_log->factory));
    g_log->typeInfoLoadedAtCallback = g_focuserTypeInfo.IsLoaded();
}

TEST_F(ModuleTest, TerminateReleasesTheFactoryThenRunsTheCallbacksNewestFirst) {
    ASSERT_EQ(S_OK, m_typeLib.Register(testing_support::DriverModulePath()));
    TerminationLog log;
    g_log = &log;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, g_module.FindClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void()));
    log.factory = factory.get();

    ASSERT_EQ(S_OK, g_module.AddTermCallback(&Record, 1));
    {
        // Loading the type information registers its release in between.
        ComPtr<IFocuser> focuser = Create();
        ASSERT_TRUE(focuser);
        ASSERT_EQ(S_OK, ResolveLink(focuser.get()));
    }
    ASSERT_TRUE(g_focuserTypeInfo.IsLoaded());
    ASSERT_EQ(S_OK, g_module.AddTermCallback(&Record, 2));
    ASSERT_EQ(S_OK, g_module.AddTermCallback(&Record, 3));
    EXPECT_EQ(4, TermListLength());

    g_module.Terminate();
    m_initialized = false;
    EXPECT_EQ((std::vector<int>{3, 2, 1}), log.order);
    EXPECT_EQ((std::vector<ULONG>{1, 1, 1}), log.factoryCounts);
    EXPECT_FALSE(log.typeInfoLoadedAtCallback) << "released before the oldest callback ran";
    EXPECT_FALSE(g_focuserTypeInfo.IsLoaded());
    EXPECT_EQ(0, g_focuserTypeInfo.NameCount());
    EXPECT_EQ(nullptr, g_module.m_termList.get());
    EXPECT_FALSE(testing_support::g_focuserObjectMap[0].classObject);
    g_log = nullptr;
}

TEST_F(ModuleTest, TheTypeInfoReleaseIsRegisteredOncePerLoadNotPerFailedAttempt) {
    m_typeLib.Unregister();
    ComPtr<IFocuser> focuser = Create();
    ASSERT_TRUE(focuser);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, ResolveLink(focuser.get()));
    EXPECT_EQ(0, TermListLength());

    ASSERT_EQ(S_OK, m_typeLib.Register(testing_support::DriverModulePath()));
    EXPECT_EQ(S_OK, ResolveLink(focuser.get()));
    EXPECT_EQ(S_OK, ResolveLink(focuser.get()));
    ComPtr<IFocuser> other = Create();
    ComPtr<ITypeInfo> typeInfo;
    EXPECT_EQ(S_OK, other->GetTypeInfo(0, 0, typeInfo.put()));
    EXPECT_EQ(1, TermListLength());
    platform::UniqueTypeAttr attributes(typeInfo.get());
    ASSERT_EQ(S_OK, typeInfo->GetTypeAttr(attributes.put()));
    EXPECT_EQ(attributes->cFuncs, g_focuserTypeInfo.NameCount()) << "one name per function description";
}

TEST_F(ModuleTest, TerminateReleasesTheCachedTypeInformation) {
    ASSERT_EQ(S_OK, m_typeLib.Register(testing_support::DriverModulePath()));
    ComPtr<ITypeInfo> typeInfo;
    {
        ComPtr<IFocuser> focuser = Create();
        ASSERT_TRUE(focuser);
        ASSERT_EQ(S_OK, focuser->GetTypeInfo(0, 0, typeInfo.put()));
    }
    const ULONG heldByCache = References(typeInfo.get());
    g_module.Terminate();
    m_initialized = false;
    const ULONG afterTerminate = References(typeInfo.get());
    EXPECT_EQ(heldByCache - 1, afterTerminate) << "the cache's reference went with termination";

    // A new life of the module loads it again.
    g_module.Initialize(testing_support::g_focuserObjectMap, GetModuleHandleA(nullptr));
    m_initialized = true;
    ComPtr<IFocuser> focuser = Create();
    EXPECT_EQ(S_OK, ResolveLink(focuser.get()));
    EXPECT_TRUE(g_focuserTypeInfo.IsLoaded());
}

struct StaticWorker {
    HANDLE start;
    int failures = 0;
};

DWORD WINAPI StaticWorkerMain(void* param) {
    StaticWorker* worker = static_cast<StaticWorker*>(param);
    platform::ComApartment apartment(COINIT_APARTMENTTHREADED);
    WaitForSingleObject(worker->start, 5000);
    for (int i = 0; i < 50; ++i) {
        ComPtr<IClassFactory> factory;
        if (g_module.FindClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void()) != S_OK) {
            ++worker->failures;
            continue;
        }
        ComPtr<IUnknown> object;
        if (factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()) != S_OK)
            ++worker->failures;
        ComPtr<IFocuser> focuser;
        if (!object || object.As(focuser) != S_OK || ResolveLink(focuser.get()) != S_OK)
            ++worker->failures;
        if (i % 5 == 0) {
            factory->LockServer(TRUE);
            factory->LockServer(FALSE);
        }
    }
    return 0;
}

TEST_F(ModuleTest, ManyApartmentsAtOnceLeaveTheLockCountAtZeroAndLoadTheTypeInfoOnce) {
    ASSERT_EQ(S_OK, m_typeLib.Register(testing_support::DriverModulePath()));
    platform::UniqueHandle start(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<StaticWorker> workers(6, StaticWorker{start.get()});
    std::vector<platform::UniqueHandle> threads;
    for (StaticWorker& worker : workers)
        threads.emplace_back(CreateThread(nullptr, 0, StaticWorkerMain, &worker, 0, nullptr));
    SetEvent(start.get());
    for (const platform::UniqueHandle& thread : threads)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 60000));
    for (const StaticWorker& worker : workers)
        EXPECT_EQ(0, worker.failures);
    EXPECT_EQ(0, g_module.m_lockCount);
    EXPECT_EQ(1, TermListLength()) << "the type information was loaded once";
}

} // namespace
