#include "framework/ModuleState.h"
#include "settings/SetupDlg.h"
#include "tests/common/DialogDriver.h"
#include "tests/common/SettingsKey.h"
#include "tests/common/TextSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;
namespace dd = testing_support;

namespace {

constexpr char kIntegerMessage[] = "Please enter an integer.";
constexpr char kRangeMessage[] = "Please enter an integer between 10 and 100000.";
constexpr char kSaveFailedMessage[] = "The settings could not be saved: Windows refused to change them.";

AFX_MODULE_STATE g_hostState(FALSE, nullptr, 0x0600);

std::string ExeDirectory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path);
    return exe.substr(0, exe.find_last_of("\\/"));
}

// The driver's resources are linked into this program; its module state finds
// them through the program's own handle.
class SetupDialog : public testing::Test {
protected:
    void SetUp() override {
        m_previousResources = GetDriverModuleState()->m_hCurrentResourceHandle;
        GetDriverModuleState()->m_hCurrentResourceHandle = GetModuleHandleA(nullptr);
        m_previousState = AfxSetModuleState(&g_hostState);
    }
    void TearDown() override {
        AfxSetModuleState(m_previousState);
        GetDriverModuleState()->m_hCurrentResourceHandle = m_previousResources;
    }

    // As the driver's SetupDialog does it: switch, construct (loading the
    // settings), show, destroy, switch back.
    INT_PTR Show(const std::function<void(HWND)>& script) {
        const INT_PTR result = dd::RunModal(
            [] {
                AFX_MAINTAIN_STATE2 state(GetDriverModuleState());
                CSetupDlg dlg(nullptr);
                return dlg.DoModal();
            },
            dd::kSetupCaption, script);
        EXPECT_EQ(&g_hostState, AfxGetModuleState()) << "the dialog left another module state current";
        EXPECT_EQ(0, GetDriverModuleState()->m_nLiveWindows) << "windows of the dialog outlived it";
        return result;
    }

    static HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id); }

    SettingsKeyGuard m_backup{SettingsKeyGuard::Start::Empty};

private:
    HINSTANCE m_previousResources = nullptr;
    AFX_MODULE_STATE* m_previousState = nullptr;
};

} // namespace

TEST_F(SetupDialog, ShowsTheStoredPortAndMaximum) {
    StoreText("COM", "3");
    StoreText("MaxPos", "10000");
    std::vector<std::string> ports;
    int selected = -2;
    std::string maxText;
    bool focusOnOk = false;
    LONG exStyle = 0;
    size_t colours = 0;
    bool captured = false;
    std::string credits;
    const std::string shot = ExeDirectory() + "\\setup-dialog.bmp";
    const INT_PTR result = Show([&](HWND dialog) {
        HWND combo = dd::SetupPortList(dialog);
        const int count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i)
            ports.push_back(dd::ComboItem(combo, i));
        selected = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
        maxText = dd::Text(dd::SetupMaxPosition(dialog));
        focusOnOk = dd::WaitForFocus(dialog, Item(dialog, IDOK)) == Item(dialog, IDOK);
        exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);

        // The credits label: the fifth control (the template's layout is checked byte by byte elsewhere).
        HWND label = GetWindow(dialog, GW_CHILD);
        for (int i = 0; i < 4 && label != nullptr; ++i)
            label = GetWindow(label, GW_HWNDNEXT);
        credits = label != nullptr ? dd::Text(label) : "<no fifth control>";

        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        captured = dd::CaptureWindow(dialog, shot, &colours);
        dd::Click(Item(dialog, IDCANCEL));
    });
    EXPECT_EQ(IDCANCEL, result);
    std::vector<std::string> expectedPorts;
    for (int i = 1; i <= 25; ++i)
        expectedPorts.push_back("COM" + std::to_string(i));
    EXPECT_EQ(expectedPorts, ports);
    EXPECT_EQ(3, selected);
    EXPECT_EQ("10000", maxText);
    EXPECT_TRUE(focusOnOk) << "the focus does not start on OK";
    EXPECT_NE(0, exStyle & WS_EX_CONTEXTHELP)
        << "no help button in the caption; exstyle " << std::hex << exStyle;
    EXPECT_EQ(0u, credits.find(testing_support::CreditsTitle())) << credits;
    EXPECT_GT(credits.size(), testing_support::CreditsTitle().size()) << "no credit line";
    EXPECT_TRUE(captured) << shot;
    EXPECT_GT(colours, 3u) << "the screenshot is blank: " << shot;
}

TEST_F(SetupDialog, OkStoresTheChosenPortAndTypedMaximum) {
    struct Case {
        int port;
        const char* typed;
        const char* storedPort;
        const char* storedMax;
    } cases[] = {
        {24, "60000", "24", "60000"},
        {0, "10", "0", "10"},
        {11, "100000", "11", "100000"},
        {5, " 250 ", "5", "250"},
    };
    for (const Case& c : cases) {
        DeleteSettingsKey();
        const INT_PTR result = Show([&](HWND dialog) {
            SendMessageA(dd::SetupPortList(dialog), CB_SETCURSEL, static_cast<WPARAM>(c.port), 0);
            dd::SetText(dd::SetupMaxPosition(dialog), c.typed);
            dd::Click(Item(dialog, IDOK));
            EXPECT_TRUE(dd::WaitForGone(dialog)) << "OK did not close the dialog for \"" << c.typed << '"';
        });
        EXPECT_EQ(IDOK, result) << c.typed;
        const StoredValue com = ReadValue("COM");
        const StoredValue max = ReadValue("MaxPos");
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), com.type);
        EXPECT_EQ(std::string(c.storedPort, strlen(c.storedPort) + 1), com.bytes);
        EXPECT_EQ(std::string(c.storedMax, strlen(c.storedMax) + 1), max.bytes);
    }
}

TEST_F(SetupDialog, RefusedMaximumKeepsTheDialogOpenWithTheMessageAndStoresNothing) {
    struct Case {
        const char* typed;
        const char* message;
    } cases[] = {
        {"9", kRangeMessage},     {"100001", kRangeMessage}, {"-20", kRangeMessage},
        {"12a", kIntegerMessage}, {"", kIntegerMessage},     {"99999999999", kIntegerMessage},
    };
    StoreText("COM", "2");
    StoreText("MaxPos", "20000");
    for (const Case& c : cases) {
        std::string message = "<no message box>";
        bool openAfter = false;
        bool focusOnField = false;
        int focusId = -1;
        HWND focusWnd = nullptr;
        DWORD selection = 0xdeadbeef;
        const INT_PTR result = Show([&](HWND dialog) {
            HWND edit = dd::SetupMaxPosition(dialog);
            SendMessageA(dd::SetupPortList(dialog), CB_SETCURSEL, 7, 0);
            dd::SetText(edit, c.typed);
            dd::Click(Item(dialog, IDOK));
            HWND box = dd::WaitForOwnedPopup(dialog);
            ASSERT_NE(nullptr, box) << "no message for \"" << c.typed << '"';
            message = dd::MessageBoxText(box);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(dd::WaitForGone(box));
            focusWnd = dd::WaitForFocusWhenActive(dialog, edit);
            focusOnField = focusWnd == edit;
            focusId = focusWnd != nullptr ? GetDlgCtrlID(focusWnd) : -1;
            openAfter = IsWindow(dialog) && IsWindowVisible(dialog) && IsWindowEnabled(dialog);
            selection = static_cast<DWORD>(SendMessageA(edit, EM_GETSEL, 0, 0));
            dd::Click(Item(dialog, IDCANCEL));
        });
        EXPECT_EQ(IDCANCEL, result) << c.typed;
        EXPECT_EQ(c.message, message) << '"' << c.typed << '"';
        EXPECT_TRUE(openAfter) << "the dialog closed after \"" << c.typed << '"';
        EXPECT_TRUE(focusOnField) << "the focus is not on the field after \"" << c.typed
                                  << "\" but on control " << focusId << " (" << focusWnd << ")";
        const DWORD length = static_cast<DWORD>(strlen(c.typed));
        EXPECT_EQ(MAKELONG(0, length), selection) << "the field's text is not selected: \"" << c.typed << '"';
        EXPECT_EQ(std::string("2", 2), ReadValue("COM").bytes) << c.typed;
        EXPECT_EQ(std::string("20000", 6), ReadValue("MaxPos").bytes) << c.typed;
    }
}

TEST_F(SetupDialog, CancellingAfterEditingLeavesTheRegistryUnchanged) {
    struct Case {
        const char* how;
        std::function<void(HWND)> cancel;
    } cases[] = {
        {"Cancel button", [](HWND dialog) { dd::Click(GetDlgItem(dialog, IDCANCEL)); }},
        {"close box", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Escape", [](HWND dialog) { PostMessageA(dd::SetupMaxPosition(dialog), WM_KEYDOWN, VK_ESCAPE, 0); }},
    };
    StoreText("COM", "4");
    StoreValue("MaxPos", REG_BINARY, "5000", 4); // as another tool may store it: no NUL
    for (const Case& c : cases) {
        const INT_PTR result = Show([&](HWND dialog) {
            SendMessageA(dd::SetupPortList(dialog), CB_SETCURSEL, 20, 0);
            dd::SetText(dd::SetupMaxPosition(dialog), "70000");
            c.cancel(dialog);
            EXPECT_TRUE(dd::WaitForGone(dialog)) << c.how;
        });
        EXPECT_EQ(IDCANCEL, result) << c.how;
        EXPECT_EQ(std::string("4", 2), ReadValue("COM").bytes) << c.how;
        EXPECT_EQ(std::string("5000", 4), ReadValue("MaxPos").bytes) << c.how;
        EXPECT_EQ(2, SettingsValueCount()) << c.how;
    }
}

TEST_F(SetupDialog, AStoredIndexBeyondTheListShowsNoSelectionAndOkStoresMinusOne) {
    StoreText("COM", "30");
    StoreText("MaxPos", "1234");
    int selected = -2;
    EXPECT_EQ(30, LoadedSettings().first) << "the link would use the stored index until the next save";
    const INT_PTR result = Show([&](HWND dialog) {
        selected = static_cast<int>(SendMessageA(dd::SetupPortList(dialog), CB_GETCURSEL, 0, 0));
        dd::Click(Item(dialog, IDOK));
        dd::WaitForGone(dialog);
    });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(CB_ERR, selected);
    EXPECT_EQ(std::string("-1", 3), ReadValue("COM").bytes);
    EXPECT_EQ(std::string("1234", 5), ReadValue("MaxPos").bytes);
    EXPECT_EQ(std::make_pair(0, 1234), LoadedSettings());
}

// A standard user whom the key's rights let read but not change: OK must not close
// the dialog as if it had saved. Once the rights allow it, OK saves and closes.
TEST_F(SetupDialog, OkThatCannotSaveSaysSoAndKeepsTheDialogOpen) {
    const StandardUserRights::Refuse refusals[] = {StandardUserRights::Refuse::WriteAccess,
                                                   StandardUserRights::Refuse::ValueWrites};
    for (StandardUserRights::Refuse refused : refusals) {
        const int which = static_cast<int>(refused);
        StoreText("COM", "2");
        StoreText("MaxPos", "20000");
        StandardUserRights rights(refused);
        std::string message = "<no message box>";
        std::string boxCaption;
        bool openAfter = false;
        std::string comBeforeRights;
        std::string comAfterRights;
        const INT_PTR result = Show([&](HWND dialog) {
            SendMessageA(dd::SetupPortList(dialog), CB_SETCURSEL, 7, 0);
            dd::SetText(dd::SetupMaxPosition(dialog), "5000");
            dd::Click(Item(dialog, IDOK));
            HWND box = dd::WaitForOwnedPopup(dialog);
            ASSERT_NE(nullptr, box) << "no message";
            message = dd::MessageBoxText(box);
            boxCaption = dd::Text(box);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(dd::WaitForGone(box));
            openAfter = IsWindow(dialog) && IsWindowVisible(dialog) && IsWindowEnabled(dialog);
            comBeforeRights = ReadValue("COM").bytes;
            rights.Lift();
            dd::Click(Item(dialog, IDOK));
            EXPECT_TRUE(dd::WaitForGone(dialog)) << "OK did not close the dialog once the rights allowed it";
            comAfterRights = ReadValue("COM").bytes;
        });
        EXPECT_EQ(IDOK, result) << which;
        EXPECT_EQ(kSaveFailedMessage, message) << which;
        EXPECT_EQ(dd::kSetupCaption, boxCaption) << which;
        EXPECT_TRUE(openAfter) << "the dialog closed after the refused save " << which;
        EXPECT_EQ(std::string("2", 2), comBeforeRights) << which;
        EXPECT_EQ(std::string("7", 2), comAfterRights) << which;
        EXPECT_EQ(std::string("5000", 5), ReadValue("MaxPos").bytes) << which;
    }
}
