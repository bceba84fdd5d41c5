// Late binding through the built module: the type information of IFocuser loaded
// from the registered library, name lookup, and invocation of every member kind.

#include "contract/FocuserMembers.h"
#include "tests/common/TypeLibRegistration.h"
#include "tests/common/DriverHarness.h"

#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using platform::ComPtr;
using platform::UniqueBstr;
using platform::UniqueExcepInfo;
using platform::UniqueVariant;
using testing_support::ClearError;
using testing_support::Hr;
using testing_support::LoadedDriver;
using testing_support::Narrow;
using testing_support::TakeError;

namespace {

constexpr DISPID kSentinelDispid = static_cast<DISPID>(0xdeadbeef);

// The class's ProgID in this process's view of HKCR, so the error object gets its
// source; removed again unless it was there before.
class ProgIdRegistration {
public:
    ProgIdRegistration() {
        m_path = "CLSID\\" + testing_support::GuidText(CLSID_Focuser);
        platform::CoTaskMemPtr<OLECHAR> existing;
        if (ProgIDFromCLSID(CLSID_Focuser, existing.put()) == S_OK)
            return;
        platform::UniqueHKey key;
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, (m_path + "\\ProgID").c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.put(),
                            &disposition) != ERROR_SUCCESS)
            return;
        const char progId[] = "Morvantis.Focuser.1";
        RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(progId), sizeof progId);
        m_created = true;
    }
    ~ProgIdRegistration() {
        if (m_created)
            RegDeleteTreeA(HKEY_CLASSES_ROOT, m_path.c_str());
    }

private:
    std::string m_path;
    bool m_created = false;
};

class DispatchTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << Hr(m_apartment.result());
        ASSERT_TRUE(m_driver.loaded());
    }

    void RegisterTypeLib() {
        const HRESULT hr = m_typeLib.Register(testing_support::DriverModulePath());
        ASSERT_EQ(S_OK, hr) << Hr(hr);
    }

    ComPtr<IDispatch> CreateDispatch() {
        ComPtr<IFocuser> focuser = m_driver.Create();
        ComPtr<IDispatch> dispatch;
        if (focuser) {
            EXPECT_EQ(S_OK, focuser->QueryInterface(IID_IDispatch, dispatch.put_void()));
        }
        return dispatch;
    }

    static DISPID Resolve(IDispatch* dispatch, const wchar_t* name, HRESULT* hr) {
        std::wstring copy(name);
        LPOLESTR names[] = {&copy[0]};
        DISPID dispid = kSentinelDispid;
        *hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
        return dispid;
    }

    struct Call {
        HRESULT hr = E_FAIL;
        UniqueVariant result;
        UniqueExcepInfo exception;
        UINT argError = 0xdeadbeef;
    };

    static void Invoke(IDispatch* dispatch, DISPID dispid, WORD flags, VARIANT* args, UINT argCount,
                       Call* call) {
        DISPPARAMS params = {args, nullptr, argCount, 0};
        DISPID named = DISPID_PROPERTYPUT;
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &named;
            params.cNamedArgs = 1;
        }
        call->hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, call->result.get(),
                                    call->exception.put(), &call->argError);
    }

    platform::ComApartment m_apartment;
    TypeLibRegistration m_typeLib;
    LoadedDriver m_driver;
};

TEST_F(DispatchTest, TypeInfoCountIsOneAndEveryIndexYieldsTheIFocuserDescription) {
    RegisterTypeLib();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);
    UINT count = 0xdeadbeef;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    ComPtr<ITypeInfo> first, fifth;
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, first.put()));
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(5, LOCALE_USER_DEFAULT, fifth.put()));
    EXPECT_EQ(first.get(), fifth.get());
    platform::UniqueTypeAttr attributes(first.get());
    ASSERT_EQ(S_OK, first->GetTypeAttr(attributes.put()));
    EXPECT_TRUE(IsEqualGUID(IID_IFocuser, attributes->guid));
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    // The dispatch description of a dual interface: IUnknown's and IDispatch's
    // seven functions, then the sixteen members.
    EXPECT_EQ(23, attributes->cFuncs);
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
}

TEST_F(DispatchTest, NamesResolveExactlyFromTheCacheAndInAnyCaseThroughTheTypeInfo) {
    RegisterTypeLib();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);
    struct Case {
        const wchar_t* name;
        HRESULT hr;
        DISPID dispid;
    };
    std::vector<Case> cases = {
        {L"position", S_OK, 6},
        {L"LINK", S_OK, 9},
        {L"link", S_OK, 9},
        {L"Speed", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
        {L"Positio", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
        {L"Positions", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
        {L"", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
    };
    for (const contract::FocuserMember& member : contract::kFocuserMembers)
        cases.push_back({member.name, S_OK, member.dispid});
    for (const auto& c : cases) {
        HRESULT hr = E_FAIL;
        const DISPID dispid = Resolve(dispatch.get(), c.name, &hr);
        EXPECT_EQ(c.hr, hr) << Narrow(c.name) << ": " << Hr(hr);
        EXPECT_EQ(c.dispid, dispid) << Narrow(c.name);
    }
}

TEST_F(DispatchTest, MoveAndItsParameterNamedPositionResolveToFiveAndZero) {
    RegisterTypeLib();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);
    OLECHAR move[] = L"Move";
    OLECHAR position[] = L"Position";
    LPOLESTR names[] = {move, position};
    DISPID dispids[2] = {kSentinelDispid, kSentinelDispid};
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, dispids));
    EXPECT_EQ(5, dispids[0]);
    EXPECT_EQ(0, dispids[1]);

    DISPID none = kSentinelDispid;
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 0, LOCALE_USER_DEFAULT, &none));
    EXPECT_EQ(kSentinelDispid, none) << "no names, nothing written";
}

TEST_F(DispatchTest, InvokeReachesEveryMemberKind) {
    RegisterTypeLib();
    ProgIdRegistration progId;
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);

    const struct {
        DISPID dispid;
        WORD flags;
        VARTYPE type;
        LONG value; // VT_BOOL and VT_I4 results
    } gets[] = {
        {3, DISPATCH_PROPERTYGET, VT_I4, 65535},
        {14, DISPATCH_PROPERTYGET | DISPATCH_METHOD, VT_I4, 65535},
        {4, DISPATCH_PROPERTYGET, VT_BOOL, VARIANT_FALSE},
        {9, DISPATCH_PROPERTYGET, VT_BOOL, VARIANT_FALSE},
        {10, DISPATCH_PROPERTYGET, VT_BOOL, VARIANT_TRUE},
        {11, DISPATCH_PROPERTYGET, VT_BOOL, VARIANT_FALSE},
        {12, DISPATCH_PROPERTYGET, VT_BOOL, VARIANT_FALSE},
    };
    for (const auto& g : gets) {
        SCOPED_TRACE(g.dispid);
        Call call;
        Invoke(dispatch.get(), g.dispid, g.flags, nullptr, 0, &call);
        ASSERT_EQ(S_OK, call.hr) << Hr(call.hr);
        ASSERT_EQ(g.type, V_VT(call.result.get()));
        EXPECT_EQ(g.value, g.type == VT_I4 ? V_I4(call.result.get()) : V_BOOL(call.result.get()));
    }

    Call temperature;
    Invoke(dispatch.get(), 13, DISPATCH_PROPERTYGET, nullptr, 0, &temperature);
    ASSERT_EQ(S_OK, temperature.hr) << Hr(temperature.hr);
    ASSERT_EQ(VT_R4, V_VT(temperature.result.get()));
    EXPECT_EQ(100.0f, V_R4(temperature.result.get()));

    for (DISPID method : {15, 16}) {
        Call call;
        Invoke(dispatch.get(), method, DISPATCH_METHOD, nullptr, 0, &call);
        EXPECT_EQ(S_OK, call.hr) << method << ": " << Hr(call.hr);
    }

    VARIANT off;
    VariantInit(&off);
    V_VT(&off) = VT_BOOL;
    V_BOOL(&off) = VARIANT_FALSE;
    Call linkOff;
    Invoke(dispatch.get(), 9, DISPATCH_PROPERTYPUT, &off, 1, &linkOff);
    EXPECT_EQ(S_OK, linkOff.hr) << Hr(linkOff.hr);

    // Failing members: the message and the source in EXCEPINFO.
    const struct {
        DISPID dispid;
        WORD flags;
        VARTYPE argType;
        const char* message;
    } failures[] = {
        {1, DISPATCH_PROPERTYGET, VT_EMPTY, "Not supported by focuser"},
        {12, DISPATCH_PROPERTYPUT, VT_BOOL, "Not Supported"},
        {6, DISPATCH_PROPERTYGET, VT_EMPTY, "Link fail"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.dispid);
        VARIANT arg;
        VariantInit(&arg);
        V_VT(&arg) = VT_BOOL;
        V_BOOL(&arg) = VARIANT_TRUE;
        Call call;
        Invoke(dispatch.get(), f.dispid, f.flags, f.argType == VT_EMPTY ? nullptr : &arg,
               f.argType == VT_EMPTY ? 0 : 1, &call);
        EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << Hr(call.hr);
        EXPECT_EQ(f.message, Narrow(call.exception->bstrDescription));
        EXPECT_EQ("Morvantis.Focuser.1", Narrow(call.exception->bstrSource));
        EXPECT_EQ(DISP_E_EXCEPTION, call.exception->scode) << Hr(call.exception->scode);
    }
}

TEST_F(DispatchTest, MoveConvertsItsArgumentToALong) {
    RegisterTypeLib();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);
    // With the link off, an argument in range fails for the link, one out of range
    // for the range: either way the converted value reached Move.
    struct Case {
        VARTYPE type;
        double number;
        const wchar_t* text;
        const char* message;
    };
    const Case cases[] = {
        {VT_R8, 12.0, nullptr, "Link fail"},          {VT_R8, 65536.0, nullptr, "Value out of range"},
        {VT_R8, -1.0, nullptr, "Value out of range"}, {VT_BSTR, 0, L"12", "Link fail"},
        {VT_BSTR, 0, L"70000", "Value out of range"}, {VT_I2, 5, nullptr, "Link fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        UniqueVariant arg;
        V_VT(arg.get()) = c.type;
        if (c.type == VT_R8)
            V_R8(arg.get()) = c.number;
        else if (c.type == VT_I2)
            V_I2(arg.get()) = static_cast<SHORT>(c.number);
        else
            V_BSTR(arg.get()) = SysAllocString(c.text);
        Call call;
        Invoke(dispatch.get(), 5, DISPATCH_METHOD, arg.get(), 1, &call);
        EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << Hr(call.hr);
        EXPECT_EQ(c.message, Narrow(call.exception->bstrDescription));
    }

    UniqueVariant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = SysAllocString(L"abc");
    Call refused;
    ClearError();
    Invoke(dispatch.get(), 5, DISPATCH_METHOD, text.get(), 1, &refused);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, refused.hr) << Hr(refused.hr);
    EXPECT_FALSE(TakeError().present) << "Move did not run";

    Call missing;
    Invoke(dispatch.get(), 5, DISPATCH_METHOD, nullptr, 0, &missing);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, missing.hr) << Hr(missing.hr);
}

TEST_F(DispatchTest, ReadOnlyPropertiesAndUnassignedDispidsAreRefused) {
    RegisterTypeLib();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);
    for (DISPID readOnly : {1, 3, 4, 6, 10, 11, 13, 14}) {
        SCOPED_TRACE(readOnly);
        UniqueVariant arg;
        V_VT(arg.get()) = VT_I4;
        V_I4(arg.get()) = 1;
        Call call;
        ClearError();
        Invoke(dispatch.get(), readOnly, DISPATCH_PROPERTYPUT, arg.get(), 1, &call);
        EXPECT_TRUE(FAILED(call.hr)) << Hr(call.hr);
        EXPECT_NE(DISP_E_EXCEPTION, call.hr)
            << "no driver member may run: " << Narrow(call.exception->bstrDescription);
        EXPECT_FALSE(TakeError().present);
    }
    for (DISPID unassigned : {7, 8, 17, 0}) {
        SCOPED_TRACE(unassigned);
        Call call;
        Invoke(dispatch.get(), unassigned, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, 0, &call);
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, call.hr) << Hr(call.hr);
    }
}

TEST_F(DispatchTest, WithTheLibraryUnregisteredNothingRunsUntilItIsRegistered) {
    m_typeLib.Unregister();
    ComPtr<IDispatch> dispatch = CreateDispatch();
    ASSERT_TRUE(dispatch);

    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_BOOL;
    V_BOOL(&arg) = VARIANT_TRUE;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Call call;
        ClearError();
        Invoke(dispatch.get(), 12, DISPATCH_PROPERTYPUT, &arg, 1, &call);
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, call.hr) << Hr(call.hr);
        EXPECT_FALSE(TakeError().present) << "TempComp put ran: " << TakeError().description;

        ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo));
        EXPECT_EQ(nullptr, typeInfo);
        HRESULT hr = S_OK;
        Resolve(dispatch.get(), L"Link", &hr);
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, hr) << Hr(hr);
    }
    // Early binding does not need the library.
    ComPtr<IFocuser> focuser;
    ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_IFocuser, focuser.put_void()));
    LONG maxStep = 0;
    EXPECT_EQ(S_OK, focuser->get_MaxStep(&maxStep));

    RegisterTypeLib();
    Call call;
    Invoke(dispatch.get(), 12, DISPATCH_PROPERTYPUT, &arg, 1, &call);
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << Hr(call.hr);
    EXPECT_EQ("Not Supported", Narrow(call.exception->bstrDescription));
}

TEST_F(DispatchTest, TwoObjectsShareOneTypeInfoThatOutlivesEitherOfThem) {
    RegisterTypeLib();
    ComPtr<IDispatch> first = CreateDispatch();
    ComPtr<IDispatch> second = CreateDispatch();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    ComPtr<ITypeInfo> fromFirst, fromSecond, again;
    ASSERT_EQ(S_OK, first->GetTypeInfo(0, LOCALE_USER_DEFAULT, fromFirst.put()));
    ASSERT_EQ(S_OK, second->GetTypeInfo(0, LOCALE_USER_DEFAULT, fromSecond.put()));
    EXPECT_EQ(fromFirst.get(), fromSecond.get());
    first.reset();
    // The library can go now: the loaded description stays in the cache.
    m_typeLib.Unregister();
    ASSERT_EQ(S_OK, second->GetTypeInfo(0, LOCALE_USER_DEFAULT, again.put()));
    EXPECT_EQ(fromFirst.get(), again.get());
    HRESULT hr = E_FAIL;
    EXPECT_EQ(9, Resolve(second.get(), L"link", &hr));
    EXPECT_EQ(S_OK, hr);
}

TEST_F(DispatchTest, AnAggregatedObjectIsInvokedThroughItsContainedFace) {
    RegisterTypeLib();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, m_driver.GetClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void()));
    // A minimal controlling object that hands out the inner object's interfaces.
    struct Outer final : IUnknown {
        IUnknown* inner = nullptr;
        LONG count = 1;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
            if (IsEqualIID(iid, IID_IUnknown)) {
                *out = this;
                AddRef();
                return S_OK;
            }
            return inner->QueryInterface(iid, out);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count); }
        ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--count); }
    } outer;
    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    {
        ComPtr<IDispatch> dispatch;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_IDispatch, dispatch.put_void()));
        Call call;
        Invoke(dispatch.get(), 10, DISPATCH_PROPERTYGET, nullptr, 0, &call);
        EXPECT_EQ(S_OK, call.hr) << Hr(call.hr);
        EXPECT_EQ(VT_BOOL, V_VT(call.result.get()));
        EXPECT_EQ(VARIANT_TRUE, V_BOOL(call.result.get()));
    }
    EXPECT_EQ(1, outer.count);
    EXPECT_EQ(0u, outer.inner->Release());
}

} // namespace
