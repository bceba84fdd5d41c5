// The late-bound caller against a hand-written IDispatch that records what it is
// asked: argument order, the named argument of a put, and how the exception
// information of a failed call is read (including a deferred fill-in, which the
// driver itself never uses but other automation objects do).

#include "platform/Owners.h"
#include "tools/DispatchClient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::ComPtr;
using platform::UniqueVariant;

HRESULT STDMETHODCALLTYPE FillInLater(EXCEPINFO* info) {
    info->bstrDescription = SysAllocString(L"filled in later");
    info->bstrSource = SysAllocString(L"Deferred.Source");
    info->scode = E_FAIL;
    return S_OK;
}

class CFakeDispatch : public IDispatch {
public:
    // What the next Invoke answers.
    HRESULT invokeResult = S_OK;
    const wchar_t* description = nullptr;
    const wchar_t* source = nullptr;
    SCODE scode = 0;
    WORD wCode = 0;
    bool deferred = false;
    LONG resultValue = 0;

    // What the calls brought.
    int idCalls = 0;
    int invokeCalls = 0;
    std::wstring lastName;
    DISPID lastId = 0;
    WORD lastFlags = 0;
    UINT lastArgCount = 0;
    UINT lastNamedCount = 0;
    DISPID lastNamedId = 0;
    std::vector<LONG> lastArgs; // as Invoke received them (VT_I4 or VT_BOOL values)
    bool lastResultGiven = false;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_refs)); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        ++idCalls;
        lastName = names[0];
        const struct {
            const wchar_t* name;
            DISPID id;
        } members[] = {{L"Position", 6}, {L"Link", 9}, {L"Move", 5}, {L"Pair", 42}};
        for (const auto& m : members) {
            if (lastName == m.name && count == 1) {
                ids[0] = m.id;
                return S_OK;
            }
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* info, UINT*) override {
        ++invokeCalls;
        lastId = id;
        lastFlags = flags;
        lastArgCount = params->cArgs;
        lastNamedCount = params->cNamedArgs;
        lastNamedId = params->cNamedArgs > 0 ? params->rgdispidNamedArgs[0] : 0;
        lastArgs.clear();
        for (UINT i = 0; i < params->cArgs; ++i) {
            const VARIANT& v = params->rgvarg[i];
            lastArgs.push_back(V_VT(&v) == VT_BOOL ? V_BOOL(&v) : V_I4(&v));
        }
        lastResultGiven = result != nullptr;
        if (invokeResult == DISP_E_EXCEPTION && info != nullptr) {
            if (deferred) {
                info->pfnDeferredFillIn = FillInLater;
            } else {
                info->bstrDescription = description ? SysAllocString(description) : nullptr;
                info->bstrSource = source ? SysAllocString(source) : nullptr;
                info->scode = scode;
                info->wCode = wCode;
            }
        }
        if (SUCCEEDED(invokeResult) && result != nullptr && (flags & DISPATCH_PROPERTYGET)) {
            V_VT(result) = VT_I4;
            V_I4(result) = resultValue;
        }
        return invokeResult;
    }

    LONG refs() const { return m_refs; }

private:
    LONG m_refs = 1; // the test's own reference
};

class DispatchClient : public testing::Test {
protected:
    void SetUp() override { client.Attach(ComPtr<IDispatch>(&fake)); }
    CFakeDispatch fake;
    tools::CDispatchClient client;
};

TEST_F(DispatchClient, PutPassesOneArgumentNamedPropertyPut) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BOOL;
    V_BOOL(&value) = VARIANT_TRUE;
    ASSERT_EQ(S_OK, client.Put(L"Link", value));
    EXPECT_EQ(9, fake.lastId);
    EXPECT_EQ(DISPATCH_PROPERTYPUT, fake.lastFlags);
    EXPECT_EQ(1u, fake.lastArgCount);
    EXPECT_EQ(1u, fake.lastNamedCount);
    EXPECT_EQ(DISPID_PROPERTYPUT, fake.lastNamedId);
    ASSERT_EQ(1u, fake.lastArgs.size());
    EXPECT_EQ(VARIANT_TRUE, fake.lastArgs[0]);
    EXPECT_FALSE(fake.lastResultGiven) << "a put asks for no result";
}

TEST_F(DispatchClient, GetReplacesWhatTheResultHeld) {
    fake.resultValue = 1234;
    UniqueVariant result;
    V_VT(result.get()) = VT_I4;
    V_I4(result.get()) = static_cast<LONG>(0xdeadbeef);
    ASSERT_EQ(S_OK, client.Get(L"Position", result));
    EXPECT_EQ(6, fake.lastId);
    EXPECT_EQ(DISPATCH_PROPERTYGET, fake.lastFlags);
    EXPECT_EQ(0u, fake.lastArgCount);
    EXPECT_EQ(VT_I4, V_VT(result.get()));
    EXPECT_EQ(1234, V_I4(result.get()));
}

TEST_F(DispatchClient, MethodArgumentsReachInvokeLastOneFirst) {
    VARIANT args[3];
    for (int i = 0; i < 3; ++i) {
        VariantInit(&args[i]);
        V_VT(&args[i]) = VT_I4;
        V_I4(&args[i]) = 10 + i;
    }
    ASSERT_EQ(S_OK, client.Call(L"Pair", args, 3));
    EXPECT_EQ(DISPATCH_METHOD, fake.lastFlags);
    EXPECT_EQ(0u, fake.lastNamedCount);
    ASSERT_EQ(3u, fake.lastArgs.size());
    EXPECT_EQ(12, fake.lastArgs[0]);
    EXPECT_EQ(11, fake.lastArgs[1]);
    EXPECT_EQ(10, fake.lastArgs[2]);
    EXPECT_EQ(10, V_I4(&args[0])) << "the caller's array is left as it was";

    ASSERT_EQ(S_OK, client.Call(L"Move", args, 1));
    ASSERT_EQ(1u, fake.lastArgs.size());
    EXPECT_EQ(10, fake.lastArgs[0]);
}

TEST_F(DispatchClient, AnExceptionBringsTheObjectsMessageSourceAndCode) {
    const struct {
        const char* label;
        const wchar_t* description;
        const wchar_t* source;
        SCODE scode;
        WORD wCode;
        bool deferred;
        HRESULT code;
        const char* descriptionPart;
        const char* sourceText;
    } cases[] = {
        {"driver message", L"Value out of range", L"Morvantis.Focuser.1", DISP_E_EXCEPTION, 0, false,
         DISP_E_EXCEPTION, "Value out of range", "Morvantis.Focuser.1"},
        {"no source", L"Link fail", nullptr, DISP_E_EXCEPTION, 0, false, DISP_E_EXCEPTION, "Link fail", ""},
        {"deferred fill-in", nullptr, nullptr, 0, 0, true, E_FAIL, "filled in later", "Deferred.Source"},
        {"wCode only", L"old style", L"Old.Object", 0, 1001, false,
         MAKE_HRESULT(SEVERITY_ERROR, FACILITY_DISPATCH, 1001), "old style", "Old.Object"},
        {"no description", nullptr, L"Quiet.Object", E_FAIL, 0, false, E_FAIL, "Move failed without",
         "Quiet.Object"},
    };
    for (const auto& c : cases) {
        fake.invokeResult = DISP_E_EXCEPTION;
        fake.description = c.description;
        fake.source = c.source;
        fake.scode = c.scode;
        fake.wCode = c.wCode;
        fake.deferred = c.deferred;
        VARIANT arg;
        VariantInit(&arg);
        V_VT(&arg) = VT_I4;
        V_I4(&arg) = -1;
        EXPECT_EQ(DISP_E_EXCEPTION, client.Call(L"Move", &arg, 1)) << c.label;
        const tools::DispatchError& error = client.LastError();
        EXPECT_EQ(c.code, error.code) << c.label << ": 0x" << std::hex << error.code;
        EXPECT_NE(std::string::npos, error.description.find(c.descriptionPart))
            << c.label << ": " << error.description;
        EXPECT_EQ(c.sourceText, error.source) << c.label;
    }
}

TEST_F(DispatchClient, AnUnknownNameIsNeverInvoked) {
    UniqueVariant result;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, client.Get(L"Speed", result));
    EXPECT_EQ(1, fake.idCalls);
    EXPECT_EQ(L"Speed", fake.lastName);
    EXPECT_EQ(0, fake.invokeCalls);
    EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, client.LastError().code);
    EXPECT_NE(std::string::npos, client.LastError().description.find("Speed"))
        << client.LastError().description;
    EXPECT_EQ("", client.LastError().source);
}

TEST_F(DispatchClient, APlatformRefusalKeepsItsCodeAndASuccessClearsTheError) {
    fake.invokeResult = DISP_E_TYPEMISMATCH;
    UniqueVariant result;
    V_VT(result.get()) = VT_I4;
    V_I4(result.get()) = static_cast<LONG>(0xdeadbeef);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, client.Get(L"Position", result));
    EXPECT_EQ(VT_EMPTY, V_VT(result.get())) << "a failed read leaves no stale value";
    EXPECT_EQ(DISP_E_TYPEMISMATCH, client.LastError().code);
    EXPECT_NE(std::string::npos, client.LastError().description.find("Position"))
        << client.LastError().description;
    EXPECT_EQ("", client.LastError().source);

    fake.invokeResult = S_OK;
    EXPECT_EQ(S_OK, client.Get(L"Position", result));
    EXPECT_EQ(S_OK, client.LastError().code);
    EXPECT_EQ("", client.LastError().description);
}

TEST_F(DispatchClient, ReleaseDropsTheOnlyReferenceItTook) {
    EXPECT_EQ(2, fake.refs());
    client.Release();
    EXPECT_EQ(1, fake.refs());
    EXPECT_FALSE(client.IsCreated());
    UniqueVariant result;
    EXPECT_EQ(E_POINTER, client.Get(L"Position", result));
    EXPECT_EQ(0, fake.idCalls);
}

TEST(DispatchClientCreate, AnUnregisteredProgIdIsReportedByName) {
    platform::ComApartment apartment;
    ASSERT_TRUE(SUCCEEDED(apartment.result()));
    tools::CDispatchClient client;
    const HRESULT hr = client.Create("Nobody.NoSuchFocuser");
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_FALSE(client.IsCreated());
    EXPECT_EQ(hr, client.LastError().code);
    EXPECT_NE(std::string::npos, client.LastError().description.find("Nobody.NoSuchFocuser"))
        << client.LastError().description;
}

} // namespace
