// Clients that call wrongly and settings that other tools wrote badly: documented
// errors and clamped results, never a crash or a read past a buffer.

#include "tests/common/TestSupport.h"
#include "tests/common/DriverHarness.h"
#include "tests/common/SettingsKey.h"
#include "tests/reliability/FuzzSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using platform::ComPtr;
using platform::UniqueVariant;
using testing_support::SettingsKeyGuard;
using testing_support::TakeErrorDescription;

namespace {

using DriverMisuse = testing_support::DriverSuite;

// ---- Late binding with the wrong shape of call.

struct DispatchCase {
    const char* what;
    DISPID dispid;
    WORD flags;
    std::vector<VARTYPE> argTypes; // values: 0 / empty text / null object
    std::vector<DISPID> named;
    bool withResult;
    std::vector<HRESULT> accepted; // what the platform's type information may answer
    // Wine's type information calls the member despite surplus arguments, where
    // Windows refuses them; the member's own failure is then accepted too.
    bool memberMayRun = false;
};

void FillArgument(VARIANT& v, VARTYPE type) {
    VariantInit(&v);
    v.vt = type;
    switch (type) {
    case VT_BSTR:
        v.bstrVal = SysAllocString(L"abc");
        break;
    case VT_DISPATCH:
        v.pdispVal = nullptr;
        break;
    case VT_I4:
        v.lVal = 10;
        break;
    default:
        v.llVal = 0;
        break;
    }
}

TEST_F(DriverMisuse, LateBoundCallsOfTheWrongShapeFailWithTheDispatchErrorsAndRunNoMember) {
    const HRESULT badCount = DISP_E_BADPARAMCOUNT;
    const HRESULT notOptional = DISP_E_PARAMNOTOPTIONAL;
    const DispatchCase cases[] = {
        {"MaxStep get with an argument",
         3,
         DISPATCH_PROPERTYGET,
         {VT_I4},
         {},
         true,
         {badCount, DISP_E_NOTACOLLECTION}},
        {"Move without its argument", 5, DISPATCH_METHOD, {}, {}, false, {badCount, notOptional}},
        {"Move with two arguments", 5, DISPATCH_METHOD, {VT_I4, VT_I4}, {}, false, {badCount}, true},
        {"Move with text that is no number", 5, DISPATCH_METHOD, {VT_BSTR}, {}, false, {DISP_E_TYPEMISMATCH}},
        {"Move with a null object",
         5,
         DISPATCH_METHOD,
         {VT_DISPATCH},
         {},
         false,
         {DISP_E_TYPEMISMATCH, E_INVALIDARG, DISP_E_BADVARTYPE}},
        {"Move with a named argument it does not have",
         5,
         DISPATCH_METHOD,
         {VT_I4},
         {7},
         false,
         {DISP_E_PARAMNOTFOUND, DISP_E_NONAMEDARGS, badCount}},
        {"Link put with text",
         9,
         DISPATCH_PROPERTYPUT,
         {VT_BSTR},
         {DISPID_PROPERTYPUT},
         false,
         {DISP_E_TYPEMISMATCH}},
        {"Link put without the put name",
         9,
         DISPATCH_PROPERTYPUT,
         {VT_BOOL},
         {},
         false,
         {DISP_E_PARAMNOTFOUND, DISP_E_BADPARAMCOUNT, DISP_E_MEMBERNOTFOUND}},
        {"MaxStep put on a read-only property",
         3,
         DISPATCH_PROPERTYPUT,
         {VT_I4},
         {DISPID_PROPERTYPUT},
         false,
         {DISP_E_MEMBERNOTFOUND}},
        {"a member that does not exist", 99, DISPATCH_METHOD, {}, {}, true, {DISP_E_MEMBERNOTFOUND}},
        {"Halt called as a property put",
         16,
         DISPATCH_PROPERTYPUT,
         {VT_I4},
         {DISPID_PROPERTYPUT},
         false,
         {DISP_E_MEMBERNOTFOUND}},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<VARIANT> args(c.argTypes.size());
        for (size_t i = 0; i < args.size(); ++i)
            FillArgument(args[i], c.argTypes[i]);
        std::vector<DISPID> named = c.named;
        DISPPARAMS params = {args.empty() ? nullptr : args.data(), named.empty() ? nullptr : named.data(),
                             static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
        UniqueVariant result;
        platform::UniqueExcepInfo exception;
        UINT argError = 0xdeadbeef;
        const HRESULT hr =
            m_focuser->Invoke(c.dispid, IID_NULL, LOCALE_USER_DEFAULT, c.flags, &params,
                              c.withResult ? result.get() : nullptr, exception.put(), &argError);
        bool accepted = false;
        for (HRESULT a : c.accepted)
            accepted = accepted || hr == a;
        const std::wstring description =
            exception->bstrDescription != nullptr ? exception->bstrDescription : L"";
        if (c.memberMayRun && hr == DISP_E_EXCEPTION) {
            // The link is off: the move fails before it touches anything.
            EXPECT_TRUE(description == L"Link fail") << "the member failed otherwise";
        } else {
            EXPECT_TRUE(accepted) << "Invoke returned 0x" << std::hex << hr;
            // No member ran: a member's failure would have filled the exception.
            EXPECT_TRUE(description.empty()) << "a member ran and failed";
        }
        // DISPPARAMS takes a plain array, so the arguments are cleared here.
        for (VARIANT& v : args)
            VariantClear(&v);
    }
    // The object is intact: a proper call works.
    UniqueVariant max;
    DISPPARAMS none = {};
    EXPECT_EQ(S_OK,
              m_focuser->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, max.get(), nullptr, nullptr));
    EXPECT_EQ(VT_I4, max->vt);
}

TEST_F(DriverMisuse, NamesThatNoMemberOrParameterHasAreUnknown) {
    struct Case {
        std::vector<const wchar_t*> names;
        HRESULT expected;
        std::vector<DISPID> dispids; // DISPID_UNKNOWN for the names not found
    };
    const Case cases[] = {
        {{L"Speed"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{L""}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{L"MaxStepX"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{L"Move", L"Speed"}, DISP_E_UNKNOWNNAME, {5, DISPID_UNKNOWN}},
        {{L"Move", L"Position"}, S_OK, {5, 0}},
        {{L"maxstep"}, S_OK, {3}},
    };
    for (const Case& c : cases) {
        std::vector<LPOLESTR> names;
        for (const wchar_t* n : c.names)
            names.push_back(const_cast<LPOLESTR>(n));
        std::vector<DISPID> dispids(names.size(), static_cast<DISPID>(0xdeadbeef));
        const HRESULT hr = m_focuser->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()),
                                                    LOCALE_USER_DEFAULT, dispids.data());
        EXPECT_EQ(c.expected, hr) << "first name " << static_cast<int>(c.names[0][0]);
        EXPECT_EQ(c.dispids, dispids);
    }
}

TEST_F(DriverMisuse, NullOutPointersThroughTheTableAreRefusedWithEPointer) {
    struct Case {
        const char* what;
        std::function<HRESULT(IFocuser*)> call;
    };
    const Case cases[] = {
        {"StepSize", [](IFocuser* f) { return f->get_StepSize(nullptr); }},
        {"MaxStep", [](IFocuser* f) { return f->get_MaxStep(nullptr); }},
        {"IsMoving", [](IFocuser* f) { return f->get_IsMoving(nullptr); }},
        {"Position", [](IFocuser* f) { return f->get_Position(nullptr); }},
        {"Link", [](IFocuser* f) { return f->get_Link(nullptr); }},
        {"Absolute", [](IFocuser* f) { return f->get_Absolute(nullptr); }},
        {"TempCompAvailable", [](IFocuser* f) { return f->get_TempCompAvailable(nullptr); }},
        {"TempComp", [](IFocuser* f) { return f->get_TempComp(nullptr); }},
        {"Temperature", [](IFocuser* f) { return f->get_Temperature(nullptr); }},
        {"MaxIncrement", [](IFocuser* f) { return f->get_MaxIncrement(nullptr); }},
        {"GetTypeInfo", [](IFocuser* f) { return f->GetTypeInfo(0, 0, nullptr); }},
    };
    for (const Case& c : cases)
        EXPECT_EQ(E_POINTER, c.call(m_focuser.get())) << c.what;
    LONG max = 0;
    EXPECT_EQ(S_OK, m_focuser->get_MaxStep(&max));
}

// ---- Settings values that other tools stored: other types, sizes, encodings.

struct SettingsCase {
    const char* what;
    DWORD type;
    std::string bytes; // stored exactly, no terminator added
    int expected;      // the clamped result; 0: any result within the range
    int forbidden = 0; // a result only a read past the value's 255 characters gives
};

std::string Text(const std::string& s) {
    return s + std::string(1, '\0');
}

TEST_F(DriverMisuse, PortSettingOfAnyTypeAndSizeGivesAClampedPortAndNoOverread) {
    SettingsKeyGuard settings;
    settings.SetText("MaxPos", "5000");
    const std::string zeros255(255, '0');
    // Ports 1 to 4 never exist on the bench, so each link attempt fails at once
    // with the port it tried in the message.
    const SettingsCase cases[] = {
        {"decimal text", REG_SZ, Text("2"), 3},
        {"text without its terminator", REG_SZ, "1", 2},
        {"text with a NUL inside", REG_SZ,
         std::string("3\0"
                     "7",
                     3),
         4},
        {"DWORD 5 (bytes 05 00 00 00: no digit)", REG_DWORD, std::string("\x05\0\0\0", 4), 1},
        {"binary digits", REG_BINARY, "2", 3},
        {"multi-string", REG_MULTI_SZ,
         std::string("1\0"
                     "9\0\0",
                     5),
         2},
        {"text followed by several NULs", REG_SZ, std::string("3\0\0\0", 4), 4},
        {"negative", REG_SZ, Text("-3"), 1},
        {"far too large", REG_SZ, Text("99"), 64},
        {"beyond 32 bits", REG_SZ, Text("99999999999999999999"), 0},
        {"255 characters, the last a digit", REG_SZ, Text(std::string(254, '0') + "3"), 4},
        {"256 characters without terminator: the last may not be read", REG_BINARY, zeros255 + "3", 1},
        {"256 characters and terminator", REG_SZ, Text(zeros255 + "3"), 1},
        {"64 KB of digits", REG_SZ, Text(std::string(65536, '7')), 0},
        {"empty", REG_SZ, std::string(), 1},
        {"blank then digits then junk", REG_SZ, Text(" 2x"), 3},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        settings.SetRaw("COM", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        ComPtr<IFocuser> focuser;
        ASSERT_EQ(S_OK, s_dll->Create(focuser));
        const HRESULT hr = focuser->put_Link(VARIANT_TRUE);
        const std::string message = TakeErrorDescription();
        focuser->put_Link(VARIANT_FALSE);
        const std::string prefix = "Could not open port //./COM";
        int port = -1;
        if (message.rfind(prefix, 0) == 0)
            port = std::atoi(message.c_str() + prefix.size());
        if (c.expected != 0) {
            EXPECT_EQ(c.expected, port) << "result 0x" << std::hex << hr << ": " << message;
        } else if (hr != S_OK) {
            // Some clamped port: one that does not exist, or a bench port
            // without a controller behind it.
            const bool clamped = (port >= 1 && port <= 64) || message == "Focuser did not respond";
            EXPECT_TRUE(clamped) << message;
        }
        LONG max = 0;
        EXPECT_EQ(S_OK, focuser->get_MaxStep(&max));
        EXPECT_EQ(5000, max);
    }
}

TEST_F(DriverMisuse, MaximumPositionSettingOfAnyTypeAndSizeIsClamped) {
    SettingsKeyGuard settings;
    settings.SetText("COM", "0");
    const SettingsCase cases[] = {
        {"decimal text", REG_SZ, Text("4000"), 4000},
        {"text without its terminator", REG_SZ, "4000", 4000},
        {"DWORD 4000 (bytes A0 0F 00 00: no digit)", REG_DWORD, std::string("\xA0\x0F\0\0", 4), 10000},
        {"multi-string", REG_MULTI_SZ,
         std::string("250\0"
                     "9\0\0",
                     7),
         250},
        {"zero", REG_SZ, Text("0"), 10000},
        {"small", REG_SZ, Text("5"), 10},
        {"negative", REG_SZ, Text("-20"), 10},
        {"large", REG_SZ, Text("200000"), 100000},
        {"beyond 32 bits", REG_SZ, Text("-99999999999999999999"), 0},
        {"255 characters", REG_SZ, Text(std::string(251, '0') + "1234"), 1234},
        {"256 characters without terminator", REG_BINARY, std::string(252, '0') + "1234", 0, 1234},
        {"64 KB", REG_BINARY, std::string(65536, '9'), 0},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        settings.SetRaw("MaxPos", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        ComPtr<IFocuser> focuser;
        ASSERT_EQ(S_OK, s_dll->Create(focuser));
        EXPECT_EQ(DISP_E_EXCEPTION, focuser->put_Link(VARIANT_TRUE));
        EXPECT_EQ("Could not open port //./COM1", TakeErrorDescription());
        LONG max = 0x5A5A5A5A;
        EXPECT_EQ(S_OK, focuser->get_MaxStep(&max));
        if (c.expected != 0) {
            EXPECT_EQ(c.expected, max);
        } else {
            EXPECT_TRUE(max >= 10 && max <= 100000) << max;
        }
        EXPECT_NE(c.forbidden, max) << "the 256th character was read";
    }
}

} // namespace
