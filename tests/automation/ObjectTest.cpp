// The module's exports, class factory, lock count and object identity, through
// the built module loaded fresh for each test.

#include "tests/common/DriverHarness.h"

#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <ocidl.h>

#include <vector>

using platform::ComPtr;
using testing_support::Hr;
using testing_support::LoadedDriver;

namespace {

void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));

class ObjectTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << Hr(m_apartment.result());
        ASSERT_TRUE(m_driver.loaded());
    }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        const HRESULT hr = m_driver.GetClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void());
        EXPECT_EQ(S_OK, hr) << Hr(hr);
        return factory;
    }

    platform::ComApartment m_apartment;
    LoadedDriver m_driver;
};

TEST_F(ObjectTest, DllGetClassObjectHandsOutOneCachedFactory) {
    ComPtr<IClassFactory> first = Factory();
    ComPtr<IClassFactory> second = Factory();
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, m_driver.GetClassObject(CLSID_Focuser, IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(first.get()), unknown.get()) << "the factory is its own IUnknown";

    void* out = kSentinel;
    EXPECT_EQ(E_NOINTERFACE, m_driver.GetClassObject(CLSID_Focuser, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    out = kSentinel;
    EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IClassFactory2, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(ObjectTest, DllGetClassObjectRefusesAnUnknownClassAndANullOut) {
    const CLSID* classes[] = {&IID_IFocuser, &LIBID_MorvantisLib, &GUID_NULL};
    for (const CLSID* clsid : classes) {
        void* out = kSentinel;
        const HRESULT hr = m_driver.GetClassObject(*clsid, IID_IClassFactory, &out);
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, hr) << Hr(hr);
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, m_driver.GetClassObject(CLSID_Focuser, IID_IClassFactory, nullptr));
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow()) << "a refused request holds nothing";
}

TEST_F(ObjectTest, AHeldFactoryKeepsTheModuleUntilItsLastRelease) {
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow());
    ComPtr<IClassFactory> again = factory;
    factory.reset();
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow()) << "one reference is still out";
    again.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
    // The cache made it once; asking again must not leave the module held.
    Factory().reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

TEST_F(ObjectTest, LockServerPairsHoldTheModuleAndAnUnbalancedUnlockIsIgnored) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    // Held by the factory reference and one server lock.
    ComPtr<IClassFactory> kept = factory;
    factory.reset();
    kept.reset();
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow()) << "one server lock is left";

    factory = Factory();
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    // Unbalanced: would otherwise cancel the hold of the factory reference.
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());

    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow())
        << "a live object holds the module after an unbalanced unlock";
    focuser.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

TEST_F(ObjectTest, ALiveObjectHoldsTheModuleUntilItsLastRelease) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    ComPtr<IFocuser> focuser;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void()));
    factory.reset();
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow());
    EXPECT_EQ(2u, focuser->AddRef());
    EXPECT_EQ(1u, focuser->Release());
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow());
    EXPECT_EQ(0u, focuser.detach()->Release());
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

TEST_F(ObjectTest, CreateInstanceRefusesANullOutAndAnUnknownInterface) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IFocuser, nullptr));
    void* out = kSentinel;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    factory.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow()) << "the object refused by QueryInterface is gone";
}

TEST_F(ObjectTest, AStandAloneObjectHasOneIdentityAndASeparateErrorInfoPointer) {
    ComPtr<IFocuser> focuser = m_driver.Create();
    ASSERT_TRUE(focuser);
    ComPtr<IUnknown> unknown;
    ComPtr<IDispatch> dispatch;
    ComPtr<IFocuser> again;
    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_IUnknown, unknown.put_void()));
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_IFocuser, again.put_void()));
    ASSERT_EQ(S_OK, focuser->QueryInterface(IID_ISupportErrorInfo, errorInfo.put_void()));
    EXPECT_EQ(static_cast<void*>(focuser.get()), static_cast<void*>(unknown.get()));
    EXPECT_EQ(static_cast<void*>(focuser.get()), static_cast<void*>(dispatch.get()));
    EXPECT_EQ(focuser.get(), again.get());
    EXPECT_NE(static_cast<void*>(focuser.get()), static_cast<void*>(errorInfo.get()));

    // Through the other pointer: the same object, the same count.
    ComPtr<IUnknown> fromErrorInfo;
    ASSERT_EQ(S_OK, errorInfo->QueryInterface(IID_IUnknown, fromErrorInfo.put_void()));
    EXPECT_EQ(unknown.get(), fromErrorInfo.get());
    const ULONG count = focuser->AddRef();
    EXPECT_EQ(count + 1, errorInfo->AddRef());
    EXPECT_EQ(count, errorInfo->Release());
    EXPECT_EQ(count - 1, focuser->Release());

    const IID* refused[] = {&IID_IClassFactory, &IID_IPersist, &IID_IConnectionPointContainer,
                            &IID_IErrorInfo, &CLSID_Focuser};
    for (const IID* iid : refused) {
        void* out = kSentinel;
        EXPECT_EQ(E_NOINTERFACE, focuser->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
        out = kSentinel;
        EXPECT_EQ(E_NOINTERFACE, errorInfo->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, focuser->QueryInterface(IID_IFocuser, nullptr));
}

// A controlling object that records what the contained driver asks of it.
class RecordingOuter final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        m_queried.push_back(iid);
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (m_inner != nullptr && (IsEqualIID(iid, IID_IFocuser) || IsEqualIID(iid, IID_IDispatch)))
            return m_inner->QueryInterface(iid, out);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        ++m_addRefs;
        return static_cast<ULONG>(++m_count);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ++m_releases;
        return static_cast<ULONG>(--m_count);
    }

    IUnknown* m_inner = nullptr;
    LONG m_count = 1;
    int m_addRefs = 0;
    int m_releases = 0;
    std::vector<IID> m_queried;
};

TEST_F(ObjectTest, AnAggregatedObjectDelegatesItsFaceToTheOuterObject) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    RecordingOuter outer;
    // Plain pointers and Release by hand: the count each release answers, and
    // which object it lands on, are what this test proves.
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    ASSERT_NE(nullptr, inner);
    outer.m_inner = inner;
    EXPECT_NE(static_cast<IUnknown*>(&outer), inner);
    EXPECT_EQ(0, outer.m_addRefs) << "the inner object holds no reference on the outer one";
    EXPECT_TRUE(outer.m_queried.empty());

    // The non-delegating unknown answers IUnknown with itself and counts for itself.
    IUnknown* self = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
    EXPECT_EQ(inner, self);
    EXPECT_EQ(1u, self->Release());
    EXPECT_EQ(0, outer.m_addRefs);

    IFocuser* focuser = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IFocuser, reinterpret_cast<void**>(&focuser)));
    EXPECT_EQ(1, outer.m_addRefs) << "handing out the face counts on the outer object";
    EXPECT_EQ(2u, inner->AddRef()) << "and not on the inner one";
    EXPECT_EQ(1u, inner->Release());

    const LONG outerCount = outer.m_count;
    EXPECT_EQ(static_cast<ULONG>(outerCount + 1), focuser->AddRef());
    EXPECT_EQ(static_cast<ULONG>(outerCount), focuser->Release());

    // QueryInterface through the face asks the outer object first.
    outer.m_queried.clear();
    {
        ComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK, focuser->QueryInterface(IID_IUnknown, identity.put_void()));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.get());
    }
    ASSERT_EQ(1u, outer.m_queried.size());
    EXPECT_TRUE(IsEqualIID(IID_IUnknown, outer.m_queried[0]));

    ComPtr<ISupportErrorInfo> errorInfo;
    outer.m_queried.clear();
    EXPECT_EQ(S_OK, focuser->QueryInterface(IID_ISupportErrorInfo, errorInfo.put_void()))
        << "refused by the outer object, answered from the driver's own map";
    ASSERT_EQ(1u, outer.m_queried.size());
    EXPECT_TRUE(IsEqualIID(IID_ISupportErrorInfo, outer.m_queried[0]));
    void* out = kSentinel;
    EXPECT_EQ(E_NOINTERFACE, focuser->QueryInterface(IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_IFocuser));
    errorInfo.reset();

    LONG maxStep = 0;
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));
    EXPECT_EQ(65535, maxStep);

    const int releasesBefore = outer.m_releases;
    focuser->Release();
    EXPECT_EQ(releasesBefore + 1, outer.m_releases);
    EXPECT_EQ(1, outer.m_count);

    factory.reset();
    EXPECT_EQ(S_FALSE, m_driver.CanUnloadNow()) << "the aggregated object holds the module";
    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow());
}

TEST_F(ObjectTest, AggregationIsRefusedForAnyInterfaceButIUnknown) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    RecordingOuter outer;
    for (const IID* iid : {&IID_IFocuser, &IID_IDispatch, &IID_ISupportErrorInfo}) {
        void* out = kSentinel;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(0, outer.m_addRefs);
    EXPECT_TRUE(outer.m_queried.empty());
    factory.reset();
    EXPECT_EQ(S_OK, m_driver.CanUnloadNow()) << "nothing was created";
}

} // namespace
