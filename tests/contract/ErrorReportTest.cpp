// ReportError read back the way a client does, with GetErrorInfo on the same
// thread, and the driver's ISupportErrorInfo answer.

#include <gtest/gtest.h>

#include "contract/FocuserContract.h"
#include "driver/ReportError.h"
#include "platform/Owners.h"
#include "tests/common/TestSupport.h"
#include "tests/common/TextSupport.h"

#include <cstdio>
#include <cstring>
#include <string>

using platform::ComPtr;
using platform::UniqueBstr;
using platform::UniqueHKey;
using testing_support::GuidText;
using testing_support::Narrow;

namespace {

const HRESULT kDispException = static_cast<HRESULT>(0x80020009);
const char kProgId[] = "Morvantis.Focuser.1";

std::wstring Text(BSTR s) {
    return s != nullptr ? std::wstring(s, SysStringLen(s)) : std::wstring();
}
std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}
bool KeyExists(const std::string& path) {
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Gives a class a ProgID (or none) under HKEY_CLASSES_ROOT\CLSID for one test,
// and afterwards puts back exactly what was there before.
class ScopedClassProgId {
public:
    ScopedClassProgId(REFCLSID classId, const char* progId)
        : m_classPath("CLSID\\" + GuidText(classId)), m_progIdPath(m_classPath + "\\ProgID") {
        m_hadClassKey = KeyExists(m_classPath);
        m_hadProgIdKey = KeyExists(m_progIdPath);
        if (m_hadProgIdKey)
            m_hadValue = ReadDefault(m_progIdPath, m_previous);
        if (m_hadProgIdKey)
            RegDeleteKeyA(HKEY_CLASSES_ROOT, m_progIdPath.c_str());
        if (progId != nullptr)
            m_ok = WriteDefault(m_progIdPath, progId);
        else
            m_ok = !KeyExists(m_progIdPath);
    }
    ScopedClassProgId(const ScopedClassProgId&) = delete;
    ScopedClassProgId& operator=(const ScopedClassProgId&) = delete;
    ~ScopedClassProgId() {
        RegDeleteKeyA(HKEY_CLASSES_ROOT, m_progIdPath.c_str());
        if (m_hadProgIdKey) {
            UniqueHKey key;
            RegCreateKeyExA(HKEY_CLASSES_ROOT, m_progIdPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            key.put(), nullptr);
            if (m_hadValue)
                WriteDefault(m_progIdPath, m_previous.c_str());
        }
        if (!m_hadClassKey)
            RegDeleteKeyA(HKEY_CLASSES_ROOT, m_classPath.c_str());
    }
    bool ok() const { return m_ok; }

private:
    static bool ReadDefault(const std::string& path, std::string& value) {
        char buffer[512] = {};
        LONG size = sizeof buffer;
        if (RegQueryValueA(HKEY_CLASSES_ROOT, path.c_str(), buffer, &size) != ERROR_SUCCESS)
            return false;
        value = buffer;
        return true;
    }
    static bool WriteDefault(const std::string& path, const char* value) {
        UniqueHKey key;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                            nullptr) != ERROR_SUCCESS)
            return false;
        return RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                              static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
    }

    std::string m_classPath;
    std::string m_progIdPath;
    bool m_hadClassKey = false;
    bool m_hadProgIdKey = false;
    bool m_hadValue = false;
    std::string m_previous;
    bool m_ok = false;
};

// The thread's current error object, taken the way a client takes it.
struct Fetched {
    HRESULT hr = E_FAIL;
    bool present = false;
    std::wstring description, source, helpFile;
    GUID guid = {};
    DWORD helpContext = 0xdeadbeef;
    ULONG referencesHeld = 0; // besides the one GetErrorInfo handed over
};

Fetched FetchErrorInfo() {
    Fetched f;
    IErrorInfo* raw = reinterpret_cast<IErrorInfo*>(static_cast<UINT_PTR>(0xdeadbeef));
    f.hr = GetErrorInfo(0, &raw);
    if (f.hr != S_OK || raw == nullptr ||
        raw == reinterpret_cast<IErrorInfo*>(static_cast<UINT_PTR>(0xdeadbeef)))
        return f;
    ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::Attach(raw);
    f.present = true;
    UniqueBstr description, source, helpFile;
    info->GetDescription(description.put());
    info->GetSource(source.put());
    info->GetHelpFile(helpFile.put());
    info->GetGUID(&f.guid);
    info->GetHelpContext(&f.helpContext);
    f.description = Text(description.get());
    f.source = Text(source.get());
    f.helpFile = Text(helpFile.get());
    f.referencesHeld = testing_support::References(info.get()) - 1;
    return f;
}

class ErrorReportTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(m_apartment.result())) << std::hex << m_apartment.result();
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override { SetErrorInfo(0, nullptr); }

    platform::ComApartment m_apartment;
};

// Every message the driver raises, and the port name as it appears in one.
const char* const kMessages[] = {
    "Link fail",     "Value out of range",      "Focuser already in motion", "Could not open port //./COM6",
    "Out of memory", "Focuser did not respond", "Not supported by focuser",  "Not Supported"};

TEST_F(ErrorReportTest, EveryMessageBecomesTheThreadsErrorObjectWithTheRegisteredProgId) {
    ScopedClassProgId registered(CLSID_Focuser, kProgId);
    ASSERT_TRUE(registered.ok());
    for (const char* message : kMessages) {
        SCOPED_TRACE(message);
        EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, message));
        const Fetched f = FetchErrorInfo();
        ASSERT_EQ(S_OK, f.hr);
        ASSERT_TRUE(f.present);
        EXPECT_EQ(Widen(message), f.description);
        EXPECT_EQ(Widen(kProgId), f.source);
        EXPECT_TRUE(IsEqualGUID(IID_IFocuser, f.guid)) << GuidText(f.guid);
        EXPECT_EQ(L"", f.helpFile);
        EXPECT_EQ(0u, f.helpContext);
        EXPECT_EQ(0u, f.referencesHeld) << "ReportError kept a reference to its error object";
    }
}

TEST_F(ErrorReportTest, UnregisteredClassGivesAnErrorObjectWithoutSource) {
    ScopedClassProgId unregistered(CLSID_Focuser, nullptr);
    ASSERT_TRUE(unregistered.ok());
    EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, "Link fail"));
    const Fetched f = FetchErrorInfo();
    ASSERT_TRUE(f.present);
    EXPECT_EQ(L"Link fail", f.description);
    EXPECT_EQ(L"", f.source) << Narrow(f.source.c_str());
    EXPECT_TRUE(IsEqualGUID(IID_IFocuser, f.guid)) << GuidText(f.guid);
    EXPECT_EQ(0u, f.referencesHeld);
}

TEST_F(ErrorReportTest, IdentifiersPassedAreTheOnesReported) {
    // A class of its own with its own ProgID, and another interface identifier:
    // nothing about Focuser is built into ReportError.
    const CLSID otherClass = {0x6b1f3c52, 0x1d7e, 0x4a2b, {0x9e, 0x31, 0x55, 0x0c, 0x47, 0x2a, 0x18, 0xd3}};
    ScopedClassProgId registered(otherClass, "Morvantis.Other.7");
    ASSERT_TRUE(registered.ok());
    EXPECT_EQ(kDispException, ReportError(otherClass, IID_IDispatch, "Value out of range"));
    const Fetched f = FetchErrorInfo();
    ASSERT_TRUE(f.present);
    EXPECT_EQ(L"Morvantis.Other.7", f.source);
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, f.guid)) << GuidText(f.guid);
}

TEST_F(ErrorReportTest, LaterFailureReplacesTheErrorObject) {
    EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, "Link fail"));
    EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, "Value out of range"));
    const Fetched first = FetchErrorInfo();
    ASSERT_TRUE(first.present);
    EXPECT_EQ(L"Value out of range", first.description);
    EXPECT_EQ(0u, first.referencesHeld);

    // Taking the object clears the thread: the replaced one is gone for good.
    const Fetched second = FetchErrorInfo();
    EXPECT_EQ(S_FALSE, second.hr);
    EXPECT_FALSE(second.present);
}

TEST_F(ErrorReportTest, MessageTextIsConvertedWithTheAnsiCodePage) {
    struct Case {
        const char* message;
        std::wstring expected;
    };
    std::string huge(70000, 'x');
    huge += " end";
    const Case cases[] = {
        {"", L""},
        {nullptr, L""},
        {huge.c_str(), Widen(huge)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message == nullptr ? "(null)"
                                          : std::to_string(std::strlen(c.message)) + " characters");
        EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, c.message));
        const Fetched f = FetchErrorInfo();
        ASSERT_TRUE(f.present);
        EXPECT_EQ(c.expected.size(), f.description.size());
        EXPECT_TRUE(c.expected == f.description) << Narrow(f.description.substr(0, 80).c_str());
    }

    if (GetACP() != 1252)
        GTEST_SKIP() << "code page " << GetACP() << ": the degree sign case needs 1252";
    EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, "20\xB0 \x80"));
    const Fetched f = FetchErrorInfo();
    ASSERT_TRUE(f.present);
    EXPECT_TRUE(std::wstring(L"20\u00B0 \u20AC") == f.description) << Narrow(f.description.c_str());
}

struct WorkerResult {
    HRESULT reported = E_FAIL;
    Fetched fetched;
};

DWORD WINAPI ReportOnAnotherThread(void* param) {
    auto* result = static_cast<WorkerResult*>(param);
    platform::ComApartment apartment;
    result->reported = ReportError(CLSID_Focuser, IID_IFocuser, "Focuser did not respond");
    result->fetched = FetchErrorInfo();
    return 0;
}

TEST_F(ErrorReportTest, ErrorObjectsOfDifferentThreadsDoNotMix) {
    EXPECT_EQ(kDispException, ReportError(CLSID_Focuser, IID_IFocuser, "Value out of range"));
    WorkerResult worker;
    platform::UniqueHandle thread(CreateThread(nullptr, 0, ReportOnAnotherThread, &worker, 0, nullptr));
    ASSERT_TRUE(thread.valid());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));

    EXPECT_EQ(kDispException, worker.reported);
    EXPECT_TRUE(worker.fetched.present);
    EXPECT_EQ(L"Focuser did not respond", worker.fetched.description);
    const Fetched mine = FetchErrorInfo();
    ASSERT_TRUE(mine.present);
    EXPECT_EQ(L"Value out of range", mine.description);
}

TEST(SupportsErrorInfoTest, OnlyIFocuserInAllSixteenBytes) {
    auto changed = [](GUID g, int byte) {
        reinterpret_cast<unsigned char*>(&g)[byte] ^= 0x01;
        return g;
    };
    struct Case {
        const char* what;
        IID iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {"IFocuser", IID_IFocuser, S_OK},
        {"IDispatch", IID_IDispatch, S_FALSE},
        {"IUnknown", IID_IUnknown, S_FALSE},
        {"ISupportErrorInfo", IID_ISupportErrorInfo, S_FALSE},
        {"the class identifier", CLSID_Focuser, S_FALSE},
        {"the library identifier", LIBID_MorvantisLib, S_FALSE},
        {"IFocuser, first byte changed", changed(IID_IFocuser, 0), S_FALSE},
        {"IFocuser, eighth byte changed", changed(IID_IFocuser, 7), S_FALSE},
        {"IFocuser, last byte changed", changed(IID_IFocuser, 15), S_FALSE},
        {"null identifier", GUID_NULL, S_FALSE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, SupportsErrorInfo(c.iid)) << c.what;
}

} // namespace
