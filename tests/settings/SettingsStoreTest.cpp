#include "settings/SetupDlg.h"
#include "tests/common/Process.h"
#include "tests/common/SettingsKey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

class SettingsStore : public testing::Test {
protected:
    SettingsKeyGuard m_backup{SettingsKeyGuard::Start::Empty};
};

std::string Bytes(const char* text, size_t size) {
    return std::string(text, size);
}

} // namespace

TEST_F(SettingsStore, AMissingKeyIsCreatedEmptyAndYieldsTheDefaults) {
    ASSERT_FALSE(SettingsKeyExists());
    CSetupDlg dlg(nullptr);
    EXPECT_EQ(0, dlg.m_portIndex);
    EXPECT_EQ(10000, dlg.m_maxPosition);
    EXPECT_TRUE(SettingsKeyExists()) << "loading did not create the key";
    EXPECT_EQ(0, SettingsValueCount()) << "loading wrote values";
    EXPECT_EQ(nullptr, dlg.m_hWnd) << "constructing made a window";
}

// A standard user may read the key under HKEY_LOCAL_MACHINE but not open it for
// writing; the stored settings must still be the ones used.
TEST_F(SettingsStore, AStandardUserLoadsTheStoredSettingsThroughAReadOnlyKey) {
    const std::vector<std::string> fallback = {"create 0x0002021F refused", "open 0x00020219"};
    StoreText("COM", "5");
    StoreText("MaxPos", "4000");
    {
        StandardUserRights rights;
        EXPECT_EQ(std::make_pair(5, 4000), LoadedSettings());
        EXPECT_EQ(fallback, rights.Calls());
    }
    // No key, and none can be made: the defaults, and still no key.
    DeleteSettingsKey();
    {
        StandardUserRights rights;
        EXPECT_EQ(std::make_pair(0, 10000), LoadedSettings());
        EXPECT_EQ(fallback, rights.Calls());
    }
    EXPECT_FALSE(SettingsKeyExists());
    // With write access the key is opened once, for reading and writing.
    StoreText("COM", "6");
    StandardUserRights rights(StandardUserRights::Refuse::ValueWrites);
    EXPECT_EQ(std::make_pair(6, 10000), LoadedSettings());
    EXPECT_EQ(std::vector<std::string>{"create 0x0002021F"}, rights.Calls());
}

TEST_F(SettingsStore, SavingFailsWhenTheKeyOrItsValuesCannotBeWrittenAndChangesNothing) {
    const struct {
        const char* what;
        StandardUserRights::Refuse refused;
        std::vector<std::string> calls;
    } cases[] = {
        {"key refused", StandardUserRights::Refuse::WriteAccess, {"create 0x0002021F refused"}},
        {"writes refused", StandardUserRights::Refuse::ValueWrites, {"create 0x0002021F", "set COM refused"}},
    };
    for (const auto& c : cases) {
        DeleteSettingsKey();
        StoreText("COM", "2");
        StoreText("MaxPos", "20000");
        CSetupDlg dlg(nullptr);
        dlg.m_portIndex = 11;
        dlg.m_maxPosition = 2500;
        StandardUserRights rights(c.refused);
        EXPECT_FALSE(dlg.SaveSettings()) << c.what;
        EXPECT_EQ(c.calls, rights.Calls()) << c.what;
        rights.Lift();
        EXPECT_EQ(Bytes("2", 2), ReadValue("COM").bytes) << c.what;
        EXPECT_EQ(Bytes("20000", 6), ReadValue("MaxPos").bytes) << c.what;
    }
}

TEST_F(SettingsStore, StoredPortTextsYieldTheirIndexWithinTheRange) {
    struct Case {
        const char* text;
        int index;
    } cases[] = {
        {"5", 5},    {"0", 0},     {"63", 63},          {"64", 63},
        {"99", 63},  {"-3", 0},    {" 7x", 7},          {"COM7", 0},
        {"", 0},     {"\t12", 12}, {"+9", 9},           {"-1", 0},
        {"007", 7},  {"24", 24},   {"99999999999", 63}, {"-99999999999", 0},
        {"0x10", 0}, {"2 5", 2},
    };
    for (const Case& c : cases) {
        StoreText("COM", c.text);
        const auto [index, maxPosition] = LoadedSettings();
        EXPECT_EQ(c.index, index) << "COM \"" << c.text << '"';
        EXPECT_EQ(10000, maxPosition) << "COM \"" << c.text << '"';
    }
}

TEST_F(SettingsStore, StoredMaximumTextsYieldTheirPositionWithinTheRange) {
    struct Case {
        const char* text; // null: no value
        int maxPosition;
    } cases[] = {
        {"4000", 4000},       {"0", 10000},
        {"", 10000},          {"abc", 10000},
        {nullptr, 10000},     {"5", 10},
        {"-20", 10},          {"9", 10},
        {"10", 10},           {"100000", 100000},
        {"100001", 100000},   {"200000", 100000},
        {" 60000 ", 60000},   {"99999999999", 100000},
        {"-99999999999", 10},
    };
    for (const Case& c : cases) {
        DeleteSettingsKey();
        if (c.text != nullptr)
            StoreText("MaxPos", c.text);
        const auto [index, maxPosition] = LoadedSettings();
        EXPECT_EQ(c.maxPosition, maxPosition) << "MaxPos " << (c.text ? c.text : "(missing)");
        EXPECT_EQ(0, index);
    }
}

TEST_F(SettingsStore, LoadingReadsButNeverWrites) {
    StoreText("COM", " 7x");
    StoreValue("MaxPos", REG_BINARY, "-20", 3);
    EXPECT_EQ(std::make_pair(7, 10), LoadedSettings());
    const StoredValue com = ReadValue("COM");
    const StoredValue max = ReadValue("MaxPos");
    EXPECT_EQ(Bytes(" 7x", 4), com.bytes);
    EXPECT_EQ(Bytes("-20", 3), max.bytes);
    EXPECT_EQ(2, SettingsValueCount());
}

TEST_F(SettingsStore, SavingStoresBothAsDecimalTextsWithTheirTerminatingNul) {
    struct Case {
        int index;
        int maxPosition;
        const char* indexText;
        const char* maxText;
    } cases[] = {
        {11, 2500, "11", "2500"},
        {0, 10, "0", "10"},
        {63, 100000, "63", "100000"},
        {-1, 60000, "-1", "60000"},
        {-2147483647 - 1, 2147483647, "-2147483648", "2147483647"},
    };
    for (const Case& c : cases) {
        DeleteSettingsKey();
        CSetupDlg dlg(nullptr);
        dlg.m_portIndex = c.index;
        dlg.m_maxPosition = c.maxPosition;
        ASSERT_TRUE(dlg.SaveSettings());
        const StoredValue com = ReadValue("COM");
        const StoredValue max = ReadValue("MaxPos");
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), com.type) << c.indexText;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), max.type) << c.maxText;
        EXPECT_EQ(Bytes(c.indexText, strlen(c.indexText) + 1), com.bytes)
            << "byte count " << com.bytes.size();
        EXPECT_EQ(Bytes(c.maxText, strlen(c.maxText) + 1), max.bytes) << "byte count " << max.bytes.size();
        EXPECT_EQ(2, SettingsValueCount());
    }
}

TEST_F(SettingsStore, NoSelectionIsStoredAsMinusOneAndLoadsAsTheFirstPort) {
    {
        CSetupDlg dlg(nullptr);
        dlg.m_portIndex = -1;
        dlg.m_maxPosition = 2500;
        ASSERT_TRUE(dlg.SaveSettings());
    }
    EXPECT_EQ(Bytes("-1", 3), ReadValue("COM").bytes);
    EXPECT_EQ(std::make_pair(0, 2500), LoadedSettings());
}

TEST_F(SettingsStore, UnterminatedAndOversizedTextsAreReadWithinTheBuffer) {
    // 255 blanks then a digit: exactly 256 bytes, no NUL. Reading the 256th byte
    // would give that digit (COM 7, MaxPos 10); the terminated buffer gives 0.
    const std::string blanksThenDigit = std::string(255, ' ') + "7";
    const std::string tooLong = std::string(299, '3') + '\0';
    const std::string fits = "4" + std::string(253, ' ') + "8" + '\0'; // 256 bytes with its NUL
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        int index;
        int maxPosition;
    } cases[] = {
        {"text without NUL", REG_BINARY, "42", 42, 42},
        {"longer text without NUL", REG_BINARY, "4000", 63, 4000},
        {"256 bytes without NUL", REG_BINARY, blanksThenDigit, 0, 10000},
        {"300 bytes", REG_SZ, tooLong, 0, 10000},
        {"256 bytes with NUL", REG_SZ, fits, 4, 10},
    };
    for (const Case& c : cases) {
        DeleteSettingsKey();
        StoreValue("COM", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        StoreValue("MaxPos", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        ASSERT_EQ(c.bytes.size(), ReadValue("COM").bytes.size()) << c.what << ": stored otherwise than meant";
        EXPECT_EQ(std::make_pair(c.index, c.maxPosition), LoadedSettings()) << c.what;
    }
}

TEST_F(SettingsStore, ValuesOfAnotherTypeAreReadAsTheirBytes) {
    // Little-endian 0x00003235 is the text "52".
    const DWORD portAsText = 0x00003235;
    const DWORD maxAsNumber = 4000; // bytes A0 0F 00 00: no digits
    StoreValue("COM", REG_DWORD, &portAsText, sizeof portAsText);
    StoreValue("MaxPos", REG_DWORD, &maxAsNumber, sizeof maxAsNumber);
    EXPECT_EQ(std::make_pair(52, 10000), LoadedSettings());
}

namespace {

constexpr char kWow64Path[] = "Software\\Wow6432Node\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";
constexpr char kRegKeyArgument[] = "\"HKLM\\Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser\"";

// The registry tool of the other bitness, told to use the 32-bit view.
std::string OtherBitnessReg() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
#ifdef _WIN64
    return std::string(windows) + "\\syswow64\\reg.exe";
#else
    // sysnative: the real system32 as seen from a 32-bit process.
    return std::string(windows) + "\\sysnative\\reg.exe";
#endif
}

} // namespace

TEST_F(SettingsStore, BothBitnessesKeepTheSettingsInThe32BitView) {
    CSetupDlg dlg(nullptr);
    dlg.m_portIndex = 37;
    dlg.m_maxPosition = 4321;
    ASSERT_TRUE(dlg.SaveSettings());
    // From either bitness, the 64-bit view shows the 32-bit one under Wow6432Node.
    EXPECT_EQ(Bytes("37", 3), ReadValue("COM", KEY_WOW64_64KEY, kWow64Path).bytes);
    EXPECT_EQ(Bytes("4321", 5), ReadValue("MaxPos", KEY_WOW64_64KEY, kWow64Path).bytes);
    EXPECT_NE(Bytes("4321", 5), ReadValue("MaxPos", KEY_WOW64_64KEY).bytes) << "written to the 64-bit view";
}

TEST_F(SettingsStore, AProcessOfTheOtherBitnessSeesTheSameSettings) {
    const std::string reg = OtherBitnessReg();
    if (GetFileAttributesA(reg.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << reg << " is missing: not a 64-bit system";
#ifdef _WIN64
    const std::string view; // a 32-bit process sees the 32-bit view by itself
#else
    const std::string view = " /reg:32";
#endif

    const ProcessResult added =
        RunProcess("\"" + reg + "\" add " + kRegKeyArgument + " /v COM /t REG_SZ /d 17 /f" + view);
    ASSERT_TRUE(added.started) << reg;
    ASSERT_EQ(0u, added.exitCode) << added.output;
    EXPECT_EQ(std::make_pair(17, 10000), LoadedSettings());

    CSetupDlg dlg(nullptr);
    dlg.m_portIndex = 21;
    dlg.m_maxPosition = 7777;
    ASSERT_TRUE(dlg.SaveSettings());
    const ProcessResult queried = RunProcess("\"" + reg + "\" query " + kRegKeyArgument + view);
    ASSERT_EQ(0u, queried.exitCode) << queried.output;
    EXPECT_NE(std::string::npos, queried.output.find("COM    REG_SZ    21\n")) << queried.output;
    EXPECT_NE(std::string::npos, queried.output.find("MaxPos    REG_SZ    7777\n")) << queried.output;
}
