// The name cache in front of the type information, proved by what reaches the
// type information: the server's LoadRegTypeLib (its import) hands it a library
// whose type information counts the name lookups passed on to the real one.

#include "contract/FocuserContract.h"
#include "tests/common/TypeLibRegistration.h"
#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/module/ImportTable.h"

#include <gtest/gtest.h>

using testing_support::Hr;
using testing_support::LoadedDriver;

namespace {

// The IUnknown half of a wrapper that passes Interface on to a real object: it
// takes over one reference to the real object and gives it back with its last own.
template <class Interface> class Forwarding : public Interface {
public:
    Forwarding(Interface* real, REFIID iid) : m_real(platform::ComPtr<Interface>::Attach(real)), m_iid(iid) {}
    Forwarding(const Forwarding&) = delete;
    Forwarding& operator=(const Forwarding&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, m_iid)) {
            *out = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_count)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&m_count);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

protected:
    virtual ~Forwarding() = default;

    const platform::ComPtr<Interface> m_real;

private:
    const IID& m_iid;
    LONG m_count = 1;
};

// Every member passes straight to the real type information; only name lookups
// are counted.
class CountingTypeInfo final : public Forwarding<ITypeInfo> {
public:
    CountingTypeInfo(ITypeInfo* real, int* lookups) : Forwarding(real, IID_ITypeInfo), m_lookups(lookups) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
        ++*m_lookups;
        return m_real->GetIDsOfNames(names, count, ids);
    }

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attr) override { return m_real->GetTypeAttr(attr); }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override { return m_real->GetTypeComp(comp); }
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** desc) override {
        return m_real->GetFuncDesc(index, desc);
    }
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** desc) override {
        return m_real->GetVarDesc(index, desc);
    }
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID id, BSTR* names, UINT max, UINT* count) override {
        return m_real->GetNames(id, names, max, count);
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* type) override {
        return m_real->GetRefTypeOfImplType(index, type);
    }
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override {
        return m_real->GetImplTypeFlags(index, flags);
    }
    HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID id, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
        return m_real->Invoke(instance, id, flags, params, result, exception, argError);
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* context,
                                               BSTR* file) override {
        return m_real->GetDocumentation(id, name, doc, context, file);
    }
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID id, INVOKEKIND kind, BSTR* dll, BSTR* name,
                                          WORD* ordinal) override {
        return m_real->GetDllEntry(id, kind, dll, name, ordinal);
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE type, ITypeInfo** info) override {
        return m_real->GetRefTypeInfo(type, info);
    }
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID id, INVOKEKIND kind, PVOID* address) override {
        return m_real->AddressOfMember(id, kind, address);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, PVOID* out) override {
        return m_real->CreateInstance(outer, iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID id, BSTR* mops) override { return m_real->GetMops(id, mops); }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** library, UINT* index) override {
        return m_real->GetContainingTypeLib(library, index);
    }
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* attr) override { m_real->ReleaseTypeAttr(attr); }
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* desc) override { m_real->ReleaseFuncDesc(desc); }
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* desc) override { m_real->ReleaseVarDesc(desc); }

private:
    int* m_lookups;
};

int g_lookups = 0;
HRESULT(WINAPI* g_realLoadRegTypeLib)(REFGUID, WORD, WORD, LCID, ITypeLib**) = nullptr;

// The library the server loads, with the real one's IFocuser description behind
// a counting wrapper. Only GetTypeInfoOfGuid is asked of it by the server.
class WrappingTypeLib final : public Forwarding<ITypeLib> {
public:
    explicit WrappingTypeLib(ITypeLib* real) : Forwarding(real, IID_ITypeLib) {}

    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
        ITypeInfo* real = nullptr;
        const HRESULT hr = m_real->GetTypeInfoOfGuid(guid, &real);
        if (FAILED(hr) || info == nullptr)
            return hr;
        *info = new CountingTypeInfo(real, &g_lookups);
        return hr;
    }

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return m_real->GetTypeInfoCount(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) override {
        return m_real->GetTypeInfo(index, info);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
        return m_real->GetTypeInfoType(index, kind);
    }
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attr) override { return m_real->GetLibAttr(attr); }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override { return m_real->GetTypeComp(comp); }
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* context,
                                               BSTR* file) override {
        return m_real->GetDocumentation(index, name, doc, context, file);
    }
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG hash, BOOL* found) override {
        return m_real->IsName(name, hash, found);
    }
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG hash, ITypeInfo** infos, MEMBERID* ids,
                                       USHORT* found) override {
        return m_real->FindName(name, hash, infos, ids, found);
    }
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attr) override { m_real->ReleaseTLibAttr(attr); }
};

HRESULT WINAPI WrappedLoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID locale, ITypeLib** library) {
    ITypeLib* real = nullptr;
    const HRESULT hr = g_realLoadRegTypeLib(libid, major, minor, locale, &real);
    if (FAILED(hr) || library == nullptr)
        return hr;
    *library = new WrappingTypeLib(real);
    return hr;
}

TEST(NameCache, AMemberNameSpelledExactlyNeverReachesTheTypeInformation) {
    platform::ComApartment apartment;
    TypeLibRegistration typeLib;
    ASSERT_EQ(S_OK, typeLib.Register(testing_support::DriverModulePath()));
    LoadedDriver driver;
    ASSERT_TRUE(driver.loaded());
    testing_support::ImportHook hook(driver.module(), "oleaut32.dll", "LoadRegTypeLib",
                                     reinterpret_cast<void*>(&WrappedLoadRegTypeLib));
    ASSERT_TRUE(hook.installed());
    g_realLoadRegTypeLib = reinterpret_cast<decltype(g_realLoadRegTypeLib)>(hook.original());
    platform::ComPtr<IFocuser> focuser = driver.Create();
    ASSERT_TRUE(focuser);

    struct Case {
        const char* label;
        const wchar_t* name;
        DISPID dispid;
        int lookups; // how many reach the type information
    };
    const Case cases[] = {
        {"Position", L"Position", 6, 0}, {"Link", L"Link", 9, 0},         {"MaxStep", L"MaxStep", 3, 0},
        {"Move", L"Move", 5, 0},         {"position", L"position", 6, 1}, {"LINK", L"LINK", 9, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        g_lookups = 0;
        OLECHAR name[32] = {};
        lstrcpynW(name, c.name, 32);
        LPOLESTR names[] = {name};
        DISPID dispid = 0x5eed;
        EXPECT_EQ(S_OK, focuser->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid));
        EXPECT_EQ(c.dispid, dispid);
        EXPECT_EQ(c.lookups, g_lookups);
    }
    focuser.reset();
    ASSERT_TRUE(driver.Unload());
    hook.Forget();
}

} // namespace
