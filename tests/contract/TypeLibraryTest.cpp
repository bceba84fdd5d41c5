// The type library as a client sees it: loaded from the built module, every
// attribute of the library, the class and the interface, and the agreement
// between the library's table offsets and the C++ declaration of IFocuser.

#include <gtest/gtest.h>

#include "contract/FocuserContract.h"
#include "contract/FocuserMembers.h"
#include "platform/Owners.h"
#include "tests/common/TestSupport.h"
#include "tests/common/TextSupport.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <utility>
#include <vector>

using platform::ComPtr;
using platform::UniqueBstr;
using platform::UniqueFuncDesc;
using platform::UniqueLibAttr;
using platform::UniqueTypeAttr;
using testing_support::GuidText;

namespace {

const wchar_t kLibraryHelp[] = L"ASCOM Focuser Driver for Morvantis";
const GUID kStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const int kInheritedSlots = 7; // IUnknown and IDispatch

std::wstring Text(BSTR s) {
    return s != nullptr ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

std::wstring Widen(const char* s) {
    return std::wstring(s, s + std::strlen(s));
}

struct Member {
    int slot;            // entry in the table of functions, counting the inherited seven
    const char* cppName; // the C++ declaration's entry at that slot
    const wchar_t* name;
    INVOKEKIND kind;
    MEMBERID id;
    VARTYPE valueType; // VT_EMPTY: no parameter
    bool byPointer;
    USHORT paramFlags;
    const wchar_t* paramName; // nullptr: no name stored
    const wchar_t* help;
};

constexpr USHORT kOutRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

const Member kMembers[] = {
    {7, "get_StepSize", L"StepSize", INVOKE_PROPERTYGET, 1, VT_R4, true, kOutRetval, L"pVal",
     L"Step size in microns (absolute) or speed (relative)"},
    {8, "SetupDialog", L"SetupDialog", INVOKE_FUNC, 2, VT_EMPTY, false, 0, nullptr,
     L"Display the setup dialog box"},
    {9, "get_MaxStep", L"MaxStep", INVOKE_PROPERTYGET, 3, VT_I4, true, kOutRetval, L"pVal",
     L"Maximum step position (absolute only)"},
    {10, "get_IsMoving", L"IsMoving", INVOKE_PROPERTYGET, 4, VT_BOOL, true, kOutRetval, L"pVal",
     L"True if focuser is currently moving"},
    {11, "Move", L"Move", INVOKE_FUNC, 5, VT_I4, false, PARAMFLAG_NONE, L"Position",
     L"Move to position (absolute mode) or +/- distance (relative mode)"},
    {12, "get_Position", L"Position", INVOKE_PROPERTYGET, 6, VT_I4, true, kOutRetval, L"pVal",
     L"Current focuser position (absolute only)"},
    {13, "get_Link", L"Link", INVOKE_PROPERTYGET, 9, VT_BOOL, true, kOutRetval, L"pVal",
     L"Set true to start link to focuser, false to shut down"},
    {14, "put_Link", L"Link", INVOKE_PROPERTYPUT, 9, VT_BOOL, false, PARAMFLAG_FIN, nullptr,
     L"Set true to start link to focuser, false to shut down"},
    {15, "get_Absolute", L"Absolute", INVOKE_PROPERTYGET, 10, VT_BOOL, true, kOutRetval, L"pVal",
     L"True if the focuser control is capable of absolute positioning"},
    {16, "get_TempCompAvailable", L"TempCompAvailable", INVOKE_PROPERTYGET, 11, VT_BOOL, true, kOutRetval,
     L"pVal", L"True if the focuser is capable of automatic temperature compensation"},
    {17, "get_TempComp", L"TempComp", INVOKE_PROPERTYGET, 12, VT_BOOL, true, kOutRetval, L"pVal",
     L"When True, temperature compensation is on; Move command not available"},
    {18, "put_TempComp", L"TempComp", INVOKE_PROPERTYPUT, 12, VT_BOOL, false, PARAMFLAG_FIN, nullptr,
     L"When True, temperature compensation is on; Move command not available"},
    {19, "get_Temperature", L"Temperature", INVOKE_PROPERTYGET, 13, VT_R4, true, kOutRetval, L"pVal",
     L"Temperature at focuser; 100 if not available"},
    {20, "get_MaxIncrement", L"MaxIncrement", INVOKE_PROPERTYGET, 14, VT_I4, true, kOutRetval, L"pVal",
     L"Maximum increment for Move"},
    {21, "Stop", L"Stop", INVOKE_FUNC, 15, VT_EMPTY, false, 0, nullptr, L"Stop focuser motion immediately"},
    {22, "Halt", L"Halt", INVOKE_FUNC, 16, VT_EMPTY, false, 0, nullptr, L"method Halt"},
};

// Records which entry of the C++ declaration a call through the table reached.
class RecordingFocuser : public IFocuser {
public:
    std::string called;
    void* pointer = nullptr;
    long value = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        called = "QueryInterface";
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Record("AddRef"), 1; }
    ULONG STDMETHODCALLTYPE Release() override { return Record("Release"), 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return Record("GetTypeInfoCount"); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Record("GetTypeInfo"); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Record("GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return Record("Invoke");
    }
    HRESULT STDMETHODCALLTYPE get_StepSize(float* p) override { return Record("get_StepSize", p); }
    HRESULT STDMETHODCALLTYPE SetupDialog() override { return Record("SetupDialog"); }
    HRESULT STDMETHODCALLTYPE get_MaxStep(LONG* p) override { return Record("get_MaxStep", p); }
    HRESULT STDMETHODCALLTYPE get_IsMoving(VARIANT_BOOL* p) override { return Record("get_IsMoving", p); }
    HRESULT STDMETHODCALLTYPE Move(LONG position) override { return Record("Move", nullptr, position); }
    HRESULT STDMETHODCALLTYPE get_Position(LONG* p) override { return Record("get_Position", p); }
    HRESULT STDMETHODCALLTYPE get_Link(VARIANT_BOOL* p) override { return Record("get_Link", p); }
    HRESULT STDMETHODCALLTYPE put_Link(VARIANT_BOOL v) override { return Record("put_Link", nullptr, v); }
    HRESULT STDMETHODCALLTYPE get_Absolute(VARIANT_BOOL* p) override { return Record("get_Absolute", p); }
    HRESULT STDMETHODCALLTYPE get_TempCompAvailable(VARIANT_BOOL* p) override {
        return Record("get_TempCompAvailable", p);
    }
    HRESULT STDMETHODCALLTYPE get_TempComp(VARIANT_BOOL* p) override { return Record("get_TempComp", p); }
    HRESULT STDMETHODCALLTYPE put_TempComp(VARIANT_BOOL v) override {
        return Record("put_TempComp", nullptr, v);
    }
    HRESULT STDMETHODCALLTYPE get_Temperature(float* p) override { return Record("get_Temperature", p); }
    HRESULT STDMETHODCALLTYPE get_MaxIncrement(LONG* p) override { return Record("get_MaxIncrement", p); }
    HRESULT STDMETHODCALLTYPE Stop() override { return Record("Stop"); }
    HRESULT STDMETHODCALLTYPE Halt() override { return Record("Halt"); }

private:
    HRESULT Record(const char* name, void* p = nullptr, long v = 0) {
        called = name;
        pointer = p;
        value = v;
        return S_OK;
    }
};

class TypeLibraryTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << std::hex << m_apartment.result();
        const std::string path = testing_support::DriverModulePath();
        const HRESULT hr = LoadTypeLib(Widen(path.c_str()).c_str(), m_library.put());
        ASSERT_EQ(S_OK, hr) << "LoadTypeLib(" << path << ") = 0x" << std::hex << hr;

        ASSERT_EQ(S_OK, m_library->GetTypeInfoOfGuid(IID_IFocuser, m_dispatch.put()));
        HREFTYPE twin = 0;
        ASSERT_EQ(S_OK, m_dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &twin))
            << "the IFocuser description has no table-of-functions twin";
        ASSERT_EQ(S_OK, m_dispatch->GetRefTypeInfo(twin, m_interface.put()));
    }

    struct Documentation {
        HRESULT hr = E_FAIL;
        std::wstring name, help, helpFile;
        DWORD helpContext = 0xdeadbeef;
    };
    static Documentation Document(ITypeInfo* info, MEMBERID id) {
        UniqueBstr name, help, file;
        Documentation d;
        d.hr = info->GetDocumentation(id, name.put(), help.put(), &d.helpContext, file.put());
        d.name = Text(name.get());
        d.help = Text(help.get());
        d.helpFile = Text(file.get());
        return d;
    }

    platform::ComApartment m_apartment;
    ComPtr<ITypeLib> m_library;
    ComPtr<ITypeInfo> m_dispatch;  // what GetTypeInfoOfGuid(IID_IFocuser) gives
    ComPtr<ITypeInfo> m_interface; // its table-of-functions twin
};

TEST_F(TypeLibraryTest, LibraryAttributesAreTheContractsOnes) {
    UniqueLibAttr attr(m_library.get());
    ASSERT_EQ(S_OK, m_library->GetLibAttr(attr.put()));
    const TLIBATTR copy = *attr.get();
    EXPECT_TRUE(IsEqualGUID(LIBID_MorvantisLib, copy.guid)) << GuidText(copy.guid);
    EXPECT_EQ(0u, copy.lcid);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, copy.syskind);
    EXPECT_EQ(1, copy.wMajorVerNum);
    EXPECT_EQ(0, copy.wMinorVerNum);
    // The loader adds "has a disk image" to what the file stores (nothing).
    EXPECT_EQ(0, copy.wLibFlags & ~LIBFLAG_FHASDISKIMAGE) << std::hex << copy.wLibFlags;

    UniqueBstr name, help, file;
    DWORD context = 0xdeadbeef;
    ASSERT_EQ(S_OK, m_library->GetDocumentation(-1, name.put(), help.put(), &context, file.put()));
    EXPECT_EQ(L"MorvantisLib", Text(name.get()));
    EXPECT_EQ(kLibraryHelp, Text(help.get()));
    EXPECT_EQ(0u, context);
    EXPECT_EQ(L"", Text(file.get()));
}

TEST_F(TypeLibraryTest, HoldsExactlyTheClassAndTheInterface) {
    ASSERT_EQ(2u, m_library->GetTypeInfoCount());
    std::multiset<std::pair<TYPEKIND, std::string>> found;
    for (UINT i = 0; i < 2; ++i) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, m_library->GetTypeInfo(i, info.put()));
        UniqueTypeAttr attr(info.get());
        ASSERT_EQ(S_OK, info->GetTypeAttr(attr.put()));
        found.insert({attr->typekind, GuidText(attr->guid)});
    }
    const std::multiset<std::pair<TYPEKIND, std::string>> expected = {
        {TKIND_COCLASS, GuidText(CLSID_Focuser)}, {TKIND_DISPATCH, GuidText(IID_IFocuser)}};
    EXPECT_TRUE(found == expected);
}

TEST_F(TypeLibraryTest, ClassIsCreatableOnlyWithIFocuserAsDefault) {
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, m_library->GetTypeInfoOfGuid(CLSID_Focuser, coclass.put()));
    UniqueTypeAttr attr(coclass.get());
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(attr.put()));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attr->wTypeFlags) << std::hex << attr->wTypeFlags;
    EXPECT_EQ(0, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0, attr->cFuncs);
    EXPECT_EQ(0, attr->cVars);
    ASSERT_EQ(1, attr->cImplTypes);

    INT flags = 0xdeadbeef;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags) << std::hex << flags;
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &ref));
    ComPtr<ITypeInfo> implemented;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, implemented.put()));
    UniqueTypeAttr implAttr(implemented.get());
    ASSERT_EQ(S_OK, implemented->GetTypeAttr(implAttr.put()));
    EXPECT_TRUE(IsEqualGUID(IID_IFocuser, implAttr->guid)) << GuidText(implAttr->guid);

    const Documentation doc = Document(coclass.get(), MEMBERID_NIL);
    ASSERT_EQ(S_OK, doc.hr);
    EXPECT_EQ(L"Focuser", doc.name);
    EXPECT_EQ(kLibraryHelp, doc.help);
    EXPECT_EQ(0u, doc.helpContext);
}

TEST_F(TypeLibraryTest, InterfaceIsDualAutomationDerivedFromStdOleIDispatch) {
    struct View {
        ITypeInfo* info;
        TYPEKIND kind;
        WORD flags;
    };
    // The platform reports a dual interface's dispatch description without
    // TYPEFLAG_FOLEAUTOMATION; the stored flags are the twin's.
    const View views[] = {{m_dispatch.get(), TKIND_DISPATCH, 0x1140 & ~TYPEFLAG_FOLEAUTOMATION},
                          {m_interface.get(), TKIND_INTERFACE, 0x1140}};
    for (const View& view : views) {
        UniqueTypeAttr attr(view.info);
        ASSERT_EQ(S_OK, view.info->GetTypeAttr(attr.put()));
        SCOPED_TRACE(view.kind == TKIND_DISPATCH ? "dispatch description" : "table-of-functions twin");
        EXPECT_EQ(view.kind, attr->typekind);
        EXPECT_TRUE(IsEqualGUID(IID_IFocuser, attr->guid)) << GuidText(attr->guid);
        EXPECT_EQ(view.flags, attr->wTypeFlags) << std::hex << attr->wTypeFlags;
        EXPECT_EQ(0, attr->wMajorVerNum);
        EXPECT_EQ(0, attr->wMinorVerNum);
        EXPECT_EQ(0, attr->cVars);
        const Documentation doc = Document(view.info, MEMBERID_NIL);
        ASSERT_EQ(S_OK, doc.hr);
        EXPECT_EQ(L"IFocuser", doc.name);
        EXPECT_EQ(kLibraryHelp, doc.help);
        EXPECT_EQ(0u, doc.helpContext);
    }

    UniqueTypeAttr twin(m_interface.get());
    ASSERT_EQ(S_OK, m_interface->GetTypeAttr(twin.put()));
    EXPECT_EQ(16, twin->cFuncs);
    EXPECT_EQ((kInheritedSlots + 16) * sizeof(void*), twin->cbSizeVft);
    ASSERT_EQ(1, twin->cImplTypes);

    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, m_interface->GetRefTypeOfImplType(0, &ref));
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(S_OK, m_interface->GetRefTypeInfo(ref, base.put()));
    UniqueTypeAttr baseAttr(base.get());
    ASSERT_EQ(S_OK, base->GetTypeAttr(baseAttr.put()));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, baseAttr->guid)) << GuidText(baseAttr->guid);
    ComPtr<ITypeLib> baseLibrary;
    UINT index = 0;
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(baseLibrary.put(), &index));
    UniqueLibAttr libAttr(baseLibrary.get());
    ASSERT_EQ(S_OK, baseLibrary->GetLibAttr(libAttr.put()));
    EXPECT_TRUE(IsEqualGUID(kStdOle, libAttr->guid)) << GuidText(libAttr->guid);
    EXPECT_EQ(2, libAttr->wMajorVerNum);
    EXPECT_EQ(0, libAttr->wMinorVerNum);
}

TEST_F(TypeLibraryTest, EveryMemberHasItsPositionIdentifierKindAndParameter) {
    for (size_t position = 0; position < std::size(kMembers); ++position) {
        const Member& m = kMembers[position];
        SCOPED_TRACE(m.cppName);
        UniqueFuncDesc f(m_interface.get());
        ASSERT_EQ(S_OK, m_interface->GetFuncDesc(static_cast<UINT>(position), f.put()));
        const FUNCDESC d = *f.get();
        const USHORT flags = d.cParams == 1 ? d.lprgelemdescParam[0].paramdesc.wParamFlags : 0xffff;
        const VARTYPE type =
            d.cParams == 1 ? d.lprgelemdescParam[0].tdesc.vt : static_cast<VARTYPE>(VT_EMPTY);
        const VARTYPE pointee =
            type == VT_PTR ? d.lprgelemdescParam[0].tdesc.lptdesc->vt : static_cast<VARTYPE>(VT_EMPTY);
        f.reset();

        EXPECT_EQ(m.id, d.memid);
        EXPECT_EQ(m.kind, d.invkind);
        EXPECT_EQ(FUNC_PUREVIRTUAL, d.funckind);
        EXPECT_EQ(CC_STDCALL, d.callconv);
        EXPECT_EQ(m.slot * static_cast<int>(sizeof(void*)), d.oVft);
        EXPECT_EQ(VT_HRESULT, d.elemdescFunc.tdesc.vt);
        EXPECT_EQ(0, d.wFuncFlags) << std::hex << d.wFuncFlags;
        EXPECT_EQ(0, d.cParamsOpt);
        EXPECT_EQ(0, d.cScodes);
        if (m.valueType == VT_EMPTY) {
            EXPECT_EQ(0, d.cParams);
            continue;
        }
        ASSERT_EQ(1, d.cParams);
        if (m.byPointer) {
            EXPECT_EQ(VT_PTR, type);
            EXPECT_EQ(m.valueType, pointee);
        } else {
            EXPECT_EQ(m.valueType, type);
        }
        EXPECT_EQ(m.paramFlags, flags) << std::hex << flags;
    }
}

TEST_F(TypeLibraryTest, EveryMemberHasItsNamesHelpStringAndNoHelpContext) {
    for (const Member& m : kMembers) {
        SCOPED_TRACE(m.cppName);
        const Documentation doc = Document(m_interface.get(), m.id);
        ASSERT_EQ(S_OK, doc.hr);
        EXPECT_EQ(m.name, doc.name);
        EXPECT_EQ(m.help, doc.help);
        EXPECT_EQ(0u, doc.helpContext);

        // GetNames finds a member by identifier, which a put accessor shares
        // with its get accessor: only the get and the methods are reachable.
        if (m.kind == INVOKE_PROPERTYPUT)
            continue;
        BSTR raw[3] = {};
        UINT count = 0xdeadbeef;
        ASSERT_EQ(S_OK, m_interface->GetNames(m.id, raw, 3, &count));
        UniqueBstr names[3] = {UniqueBstr(raw[0]), UniqueBstr(raw[1]), UniqueBstr(raw[2])};
        ASSERT_EQ(m.paramName != nullptr ? 2u : 1u, count);
        EXPECT_EQ(m.name, Text(names[0].get()));
        if (m.paramName != nullptr) {
            EXPECT_EQ(m.paramName, Text(names[1].get()));
        }
    }
}

TEST_F(TypeLibraryTest, OnlyGetValuesAndMovesParameterAreNamed) {
    struct Case {
        const wchar_t* name;
        BOOL stored;
    };
    // newVal is the put values' name in the interface definition.
    const Case cases[] = {{L"pVal", TRUE}, {L"Position", TRUE}, {L"newVal", FALSE}, {L"Link", TRUE}};
    for (const Case& c : cases) {
        std::wstring name(c.name);
        BOOL found = 0x0deadbee;
        ASSERT_EQ(S_OK, m_library->IsName(&name[0], 0, &found));
        EXPECT_EQ(c.stored, found) << std::string(name.begin(), name.end());
    }
}

TEST_F(TypeLibraryTest, EachIdentifierAndKindFindsItsPosition) {
    ComPtr<ITypeInfo2> info2;
    ASSERT_EQ(S_OK, m_interface.As(info2));
    for (const Member& m : kMembers) {
        SCOPED_TRACE(m.cppName);
        UINT index = 0xdeadbeef;
        ASSERT_EQ(S_OK, info2->GetFuncIndexOfMemId(m.id, m.kind, &index));
        UniqueFuncDesc f(m_interface.get());
        ASSERT_EQ(S_OK, m_interface->GetFuncDesc(index, f.put()));
        const MEMBERID id = f->memid;
        EXPECT_EQ(m.id, id);
        EXPECT_EQ(static_cast<UINT>(&m - kMembers), index) << "declared out of order";
    }
}

TEST_F(TypeLibraryTest, TheClientsMemberTableGivesEachMembersKinds) {
    ComPtr<ITypeInfo2> info2;
    ASSERT_EQ(S_OK, m_interface.As(info2));
    for (const contract::FocuserMember& member : contract::kFocuserMembers) {
        const bool method = member.kind == contract::MemberKind::Method;
        const struct {
            INVOKEKIND kind;
            bool present;
        } kinds[] = {{INVOKE_FUNC, method},
                     {INVOKE_PROPERTYGET, !method},
                     {INVOKE_PROPERTYPUT, member.kind == contract::MemberKind::ReadWrite}};
        for (const auto& k : kinds) {
            UINT index = 0xdeadbeef;
            const HRESULT hr = info2->GetFuncIndexOfMemId(member.dispid, k.kind, &index);
            EXPECT_EQ(k.present, SUCCEEDED(hr))
                << std::string(member.name, member.name + std::wcslen(member.name)) << " kind " << k.kind
                << ": 0x" << std::hex << hr;
        }
    }
}

TEST_F(TypeLibraryTest, IdentifiersSevenAndEightAreUnassigned) {
    ComPtr<ITypeInfo2> info2;
    ASSERT_EQ(S_OK, m_interface.As(info2));
    std::set<std::pair<MEMBERID, int>> all;
    for (UINT i = 0; i < 16; ++i) {
        UniqueFuncDesc f(m_interface.get());
        ASSERT_EQ(S_OK, m_interface->GetFuncDesc(i, f.put()));
        all.insert({f->memid, f->invkind});
    }
    EXPECT_EQ(16u, all.size()) << "two members share an identifier and a kind";
    for (MEMBERID id : {7, 8}) {
        for (INVOKEKIND kind : {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT}) {
            UINT index = 0xdeadbeef;
            EXPECT_TRUE(FAILED(info2->GetFuncIndexOfMemId(id, kind, &index)))
                << "identifier " << id << " kind " << kind << " found at " << index;
        }
    }
}

TEST_F(TypeLibraryTest, NameLookupOnTheDispatchDescriptionGivesTheIdentifiers) {
    struct Lookup {
        const wchar_t* name;
        MEMBERID id;
    };
    std::vector<Lookup> lookups = {{L"link", 9}, {L"HALT", 16}};
    for (const contract::FocuserMember& member : contract::kFocuserMembers)
        lookups.push_back({member.name, member.dispid});
    for (const Lookup& l : lookups) {
        std::wstring name(l.name);
        LPOLESTR names[] = {&name[0]};
        MEMBERID id = static_cast<MEMBERID>(0xdeadbeef);
        EXPECT_EQ(S_OK, m_dispatch->GetIDsOfNames(names, 1, &id)) << std::string(name.begin(), name.end());
        EXPECT_EQ(l.id, id) << std::string(name.begin(), name.end());
    }

    std::wstring move(L"Move"), parameter(L"Position");
    LPOLESTR both[] = {&move[0], &parameter[0]};
    MEMBERID ids[2] = {static_cast<MEMBERID>(0xdeadbeef), static_cast<MEMBERID>(0xdeadbeef)};
    ASSERT_EQ(S_OK, m_dispatch->GetIDsOfNames(both, 2, ids));
    EXPECT_EQ(5, ids[0]);
    EXPECT_EQ(0, ids[1]) << "Move's parameter is named Position, its first";

    std::wstring unknown(L"Focus");
    LPOLESTR names[] = {&unknown[0]};
    MEMBERID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, m_dispatch->GetIDsOfNames(names, 1, &id));
}

// The offsets the library records must reach the same entries of the C++
// declaration: the platform's invocation calls through exactly these offsets.
TEST_F(TypeLibraryTest, LibraryOffsetsReachTheDeclaredCppMembers) {
    for (size_t position = 0; position < std::size(kMembers); ++position) {
        const Member& m = kMembers[position];
        SCOPED_TRACE(m.cppName);
        UniqueFuncDesc f(m_interface.get());
        ASSERT_EQ(S_OK, m_interface->GetFuncDesc(static_cast<UINT>(position), f.put()));
        const SHORT offset = f->oVft;

        RecordingFocuser target;
        union {
            float r4;
            LONG i4;
            VARIANT_BOOL b;
        } out;
        out.i4 = 0;
        VARIANT arg;
        VariantInit(&arg);
        VARTYPE argType = VT_EMPTY;
        if (m.byPointer) {
            argType = VT_BYREF | m.valueType;
            V_VT(&arg) = argType;
            V_BYREF(&arg) = &out;
        } else if (m.valueType == VT_I4) {
            argType = VT_I4;
            V_VT(&arg) = VT_I4;
            V_I4(&arg) = -4242;
        } else if (m.valueType == VT_BOOL) {
            argType = VT_BOOL;
            V_VT(&arg) = VT_BOOL;
            V_BOOL(&arg) = VARIANT_TRUE;
        }
        VARIANTARG* args[] = {&arg};
        VARIANT result;
        VariantInit(&result);
        const UINT argCount = m.valueType == VT_EMPTY ? 0 : 1;
        const HRESULT hr = DispCallFunc(static_cast<IFocuser*>(&target), static_cast<ULONG_PTR>(offset),
                                        CC_STDCALL, VT_ERROR, argCount, &argType, args, &result);
        ASSERT_EQ(S_OK, hr) << std::hex << hr;
        EXPECT_EQ(m.cppName, target.called);
        if (m.byPointer) {
            EXPECT_EQ(static_cast<void*>(&out), target.pointer);
        } else if (m.valueType == VT_I4) {
            EXPECT_EQ(-4242, target.value);
        } else if (m.valueType == VT_BOOL) {
            EXPECT_EQ(VARIANT_TRUE, target.value);
        }
    }
}

// The file behind the resource: its own system locale (the one its name
// hashes are computed with) is US English, and each stored hash matches.
TEST_F(TypeLibraryTest, ResourceIsTypelibOneWithUsEnglishNameHashes) {
    const std::string path = testing_support::DriverModulePath();
    platform::UniqueModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module.valid()) << path << " error " << GetLastError();
    HRSRC found = FindResourceA(module.get(), MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_NE(nullptr, found) << "no resource TYPELIB 1";
    const unsigned char* bytes =
        static_cast<const unsigned char*>(LockResource(LoadResource(module.get(), found)));
    ASSERT_NE(nullptr, bytes);
    const std::vector<unsigned char> image(bytes, bytes + SizeofResource(module.get(), found));
    auto at = [&image](size_t offset) {
        int32_t v = 0;
        if (offset + 4 <= image.size())
            std::memcpy(&v, &image[offset], 4);
        return v;
    };
    ASSERT_GE(image.size(), 0x54u);
    ASSERT_EQ(0x5446534D, at(0)) << "not in the MSFT format";
    EXPECT_EQ(0x409, at(0x0C)) << "system locale of the file";
    EXPECT_EQ(0, at(0x10)) << "library locale";
    const int32_t varflags = at(0x14);
    const SYSKIND syskind = static_cast<SYSKIND>(varflags & 0x0f);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, syskind);

    // Header, the type-information offsets, an optional help-DLL entry, then
    // the segment directory; the name table is its eighth segment.
    size_t directory = 0x54 + 4 * static_cast<size_t>(at(0x20));
    if (varflags & 0x100)
        directory += 4;
    const size_t nameTable = static_cast<size_t>(at(directory + 7 * 16));
    const size_t nameLength = static_cast<size_t>(at(directory + 7 * 16 + 4));
    ASSERT_LE(nameTable + nameLength, image.size());
    std::set<std::string> names;
    for (size_t offset = nameTable; offset + 12 <= nameTable + nameLength;) {
        const uint32_t intro = static_cast<uint32_t>(at(offset + 8));
        const size_t length = intro & 0xff;
        ASSERT_LE(offset + 12 + length, nameTable + nameLength);
        const std::string name(reinterpret_cast<const char*>(&image[offset + 12]), length);
        const ULONG expected = LHashValOfNameSys(syskind, 0x409, Widen(name.c_str()).c_str()) & 0xffff;
        EXPECT_EQ(expected, intro >> 16) << "hash of " << name;
        names.insert(name);
        offset += 12 + ((length + 3) & ~size_t(3));
    }
    // Every name the file holds: no parameter name beyond pVal and Move's
    // Position, so the put values carry none.
    std::set<std::string> expected = {"MorvantisLib", "Focuser", "IFocuser", "pVal"};
    for (const contract::FocuserMember& member : contract::kFocuserMembers)
        expected.insert(std::string(member.name, member.name + std::wcslen(member.name)));
    EXPECT_TRUE(expected == names) << names.size() << " names stored";
    EXPECT_EQ(0, at(0x1C)) << "library flags";
}
} // namespace
