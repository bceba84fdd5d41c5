#include "framework/CmdTarget.h"
#include "framework/ComboBox.h"
#include "framework/DataExchange.h"
#include "framework/Dialog.h"
#include "framework/ModuleState.h"
#include "framework/Wnd.h"
#include "tests/common/DialogDriver.h"
#include "tests/common/DriverModuleState.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace dd = testing_support;

namespace {

constexpr UINT kRecordState = WM_APP + 1;
constexpr UINT kThrow = WM_APP + 2;

AFX_MODULE_STATE g_hostState(FALSE, nullptr, 0x0600);

class CurrentState {
public:
    explicit CurrentState(AFX_MODULE_STATE* state) : m_previous(AfxSetModuleState(state)) {}
    ~CurrentState() { AfxSetModuleState(m_previous); }

private:
    AFX_MODULE_STATE* m_previous;
};

// A message-only window: needs no display.
HWND MakeWindow() {
    return CreateWindowExA(0, "STATIC", "probe", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

class RecordingWnd : public CWnd {
public:
    AFX_MODULE_STATE* m_seen = nullptr;
    int m_postNcDestroyCalls = 0;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kRecordState) {
            m_seen = AfxGetModuleState();
            return 0x1234;
        }
        if (message == kThrow)
            throw std::runtime_error("handler failed");
        return CWnd::WindowProc(message, wParam, lParam);
    }

protected:
    void PostNcDestroy() override { ++m_postNcDestroyCalls; }
};

} // namespace

TEST(WindowProcedure, ModuleWindowsRunInTheModuleStateWhateverIsCurrentOutside) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(nullptr, hWnd);
    RecordingWnd wnd;
    {
        AFX_MAINTAIN_STATE2 driver(GetDriverModuleState());
        ASSERT_TRUE(wnd.SubclassWindow(hWnd));
    }
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(DriverWndProc), GetWindowLongPtrA(hWnd, GWLP_WNDPROC));
    EXPECT_EQ(&wnd, CWnd::FromHandlePermanent(hWnd));

    CurrentState host(&g_hostState);
    EXPECT_EQ(0x1234, SendMessageA(hWnd, kRecordState, 0, 0));
    EXPECT_EQ(GetDriverModuleState(), wnd.m_seen);
    EXPECT_EQ(&g_hostState, AfxGetModuleState());

    // Messages the object does not handle reach the window's own procedure.
    SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("through"));
    EXPECT_EQ("through", dd::Text(hWnd));
    DestroyWindow(hWnd);
}

TEST(WindowProcedure, NoExceptionLeavesTheWindowProcedureAndTheStateIsRestored) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(nullptr, hWnd);
    RecordingWnd wnd;
    {
        AFX_MAINTAIN_STATE2 driver(GetDriverModuleState());
        ASSERT_TRUE(wnd.SubclassWindow(hWnd));
    }
    CurrentState host(&g_hostState);
    EXPECT_EQ(0, SendMessageA(hWnd, kThrow, 0, 0));
    EXPECT_EQ(&g_hostState, AfxGetModuleState());
    EXPECT_EQ(0x1234, SendMessageA(hWnd, kRecordState, 0, 0)) << "the window stopped working after a throw";
    DestroyWindow(hWnd);
}

TEST(WindowProcedure, DestroyingTheWindowDetachesTheObjectAndReleasesTheModule) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(nullptr, hWnd);
    AFX_MAINTAIN_STATE2 driver(GetDriverModuleState());
    const LONG before = GetDriverModuleState()->m_nLiveWindows;
    EXPECT_EQ(S_OK, AfxDllCanUnloadNow()) << before << " windows of the module alive before the test";
    RecordingWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(hWnd));
    EXPECT_EQ(before + 1, GetDriverModuleState()->m_nLiveWindows);
    EXPECT_EQ(S_FALSE, AfxDllCanUnloadNow());
    EXPECT_FALSE(wnd.SubclassWindow(hWnd)) << "attached twice";

    DestroyWindow(hWnd);
    EXPECT_EQ(nullptr, wnd.m_hWnd);
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(hWnd));
    EXPECT_EQ(1, wnd.m_postNcDestroyCalls);
    EXPECT_EQ(before, GetDriverModuleState()->m_nLiveWindows);
    EXPECT_EQ(S_OK, AfxDllCanUnloadNow());
}

TEST(WindowProcedure, AnObjectDestroyedBeforeItsWindowGivesTheWindowItsProcedureBack) {
    HWND hWnd = MakeWindow();
    ASSERT_NE(nullptr, hWnd);
    const LONG_PTR original = GetWindowLongPtrA(hWnd, GWLP_WNDPROC);
    {
        RecordingWnd wnd;
        ASSERT_TRUE(wnd.SubclassWindow(hWnd));
        EXPECT_NE(original, GetWindowLongPtrA(hWnd, GWLP_WNDPROC));
    }
    EXPECT_EQ(original, GetWindowLongPtrA(hWnd, GWLP_WNDPROC));
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(hWnd));
    SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("still works"));
    EXPECT_EQ("still works", dd::Text(hWnd));
    DestroyWindow(hWnd);
}

TEST(TemporaryMaps, UnlockingFreesTheThreadsEmptyMapAndTermThreadFreesItInAnyCase) {
    struct Seen {
        bool mapAfterAttach = false;
        bool unlockFreedWhileAttached = true;
        bool mapKeptWhileLocked = false;
        bool unlockedWhileStillLocked = true;
        bool unlockFreed = false;
        bool mapAfterUnlock = true;
        bool mapAfterTermThread = true;
        int mapped = 0;
    } seen;
    std::thread worker([&] {
        AFX_THREAD_STATE* state = AfxGetThreadState();
        std::vector<HWND> windows;
        std::vector<RecordingWnd> objects(20);
        for (RecordingWnd& wnd : objects) {
            HWND hWnd = MakeWindow();
            windows.push_back(hWnd);
            wnd.SubclassWindow(hWnd);
        }
        seen.mapAfterAttach = state->m_pHandleMap.get() != nullptr;
        for (size_t i = 0; i < windows.size(); ++i)
            seen.mapped += CWnd::FromHandlePermanent(windows[i]) == &objects[i] ? 1 : 0;

        AfxLockTempMaps();
        seen.unlockFreedWhileAttached = AfxUnlockTempMaps(-1) != FALSE;
        for (HWND hWnd : windows)
            DestroyWindow(hWnd);
        seen.mapKeptWhileLocked = state->m_pHandleMap.get() != nullptr;

        AfxLockTempMaps();
        AfxLockTempMaps();
        seen.unlockedWhileStillLocked = AfxUnlockTempMaps(-1) != FALSE;
        seen.unlockFreed = AfxUnlockTempMaps(-1) != FALSE;
        seen.mapAfterUnlock = state->m_pHandleMap.get() != nullptr;

        HWND last = MakeWindow();
        RecordingWnd lastObject;
        lastObject.SubclassWindow(last);
        AfxTermThread(nullptr);
        seen.mapAfterTermThread = state->m_pHandleMap.get() != nullptr;
        lastObject.UnsubclassWindow();
        lastObject.Detach();
        DestroyWindow(last);
    });
    worker.join();
    EXPECT_TRUE(seen.mapAfterAttach);
    EXPECT_EQ(20, seen.mapped) << "the map lost entries as it grew";
    EXPECT_FALSE(seen.unlockFreedWhileAttached) << "freed a map that still had windows";
    EXPECT_TRUE(seen.mapKeptWhileLocked);
    EXPECT_FALSE(seen.unlockedWhileStillLocked) << "freed at lock count 1";
    EXPECT_TRUE(seen.unlockFreed);
    EXPECT_FALSE(seen.mapAfterUnlock);
    EXPECT_FALSE(seen.mapAfterTermThread);
}

TEST(TemporaryMaps, UnlockingWithoutALockDoesNothing) {
    std::thread worker([] {
        EXPECT_FALSE(AfxUnlockTempMaps(-1));
        EXPECT_EQ(0, AfxGetThreadState()->m_nTempMapLock);
    });
    worker.join();
}

namespace {

class BaseTarget : public CCmdTarget {
public:
    int m_last = 0;
    void OnTwentyBase() { m_last = 201; }
    void OnThirty() { m_last = 30; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseTarget, CCmdTarget)
ON_COMMAND(20, OnTwentyBase)
ON_COMMAND(30, OnThirty)
END_MESSAGE_MAP()

class DerivedTarget : public BaseTarget {
public:
    void OnTen() { m_last = 10; }
    void OnTwentyDerived() { m_last = 202; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedTarget, BaseTarget)
ON_COMMAND(10, OnTen)
ON_COMMAND(20, OnTwentyDerived)
END_MESSAGE_MAP()

} // namespace

TEST(MessageMap, CommandsGoToTheMostDerivedHandlerThenToTheBases) {
    struct Case {
        UINT id;
        UINT code;
        BOOL handled;
        int handler;
    } cases[] = {
        {10, 0, TRUE, 10}, {20, 0, TRUE, 202}, {30, 0, TRUE, 30}, {40, 0, FALSE, -1}, {10, 1, FALSE, -1},
    };
    for (const Case& c : cases) {
        DerivedTarget target;
        target.m_last = -1;
        EXPECT_EQ(c.handled, target.OnCmdMsg(c.id, c.code)) << "id " << c.id << " code " << c.code;
        EXPECT_EQ(c.handler, target.m_last) << "id " << c.id << " code " << c.code;
    }
}

TEST(DataExchange, IntegerTextsAreParsedStrictly) {
    struct Case {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"12", true, 12},
        {" 12 ", true, 12},
        {"-5", true, -5},
        {"+7", true, 7},
        {"0", true, 0},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"12a", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"-", false, 0},
        {"1 2", false, 0},
        {"0x10", false, 0},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int value = static_cast<int>(0xdeadbeef);
        EXPECT_EQ(c.ok, AfxParseInt(c.text, &value)) << '"' << c.text << '"';
        EXPECT_EQ(c.ok ? c.value : static_cast<int>(0xdeadbeef), value) << '"' << c.text << '"';
    }
}

namespace {

constexpr UINT kProbeDialog = 301;
constexpr char kProbeCaption[] = "Framework Probe Dialog";

class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(kProbeDialog) {}
    CComboBox m_list;
    int m_index = 1;
    int m_value = -3;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, 201, m_list);
        DDX_CBIndex(pDX, 201, m_index);
        DDX_Text(pDX, 202, m_value);
        DDV_MinMaxInt(pDX, m_value, -5, 5);
    }
};

class DialogTest : public testing::Test {
protected:
    void SetUp() override {
        m_previousResources = GetDriverModuleState()->m_hCurrentResourceHandle;
        GetDriverModuleState()->m_hCurrentResourceHandle = GetModuleHandleA(nullptr);
    }
    void TearDown() override { GetDriverModuleState()->m_hCurrentResourceHandle = m_previousResources; }

private:
    HINSTANCE m_previousResources = nullptr;
};

} // namespace

TEST_F(DialogTest, AMissingTemplateFailsAtOnceAndLeavesNothingBehind) {
    AFX_MAINTAIN_STATE2 driver(GetDriverModuleState());
    CDialog dialog(999);
    EXPECT_EQ(-1, dialog.DoModal());
    EXPECT_EQ(nullptr, dialog.m_hWnd);
    EXPECT_EQ(S_OK, AfxDllCanUnloadNow());
}

TEST_F(DialogTest, TheDialogProcedureToleratesMessagesBeforeItsObject) {
    EXPECT_FALSE(AfxDlgProc(nullptr, WM_SETFONT, 0, static_cast<LPARAM>(0xdeadbeef)));
    EXPECT_FALSE(AfxDlgProc(nullptr, WM_INITDIALOG, 0, 0));
}

TEST_F(DialogTest, InitialisationDataAddsOnlyWellFormedRecordsAndDataIsExchangedBothWays) {
    CurrentState host(&g_hostState);
    ProbeDialog dialog;
    std::vector<std::string> items;
    int selected = -2;
    std::string shown;
    LONG liveWhileOpen = -1;
    std::string message;
    const INT_PTR result = dd::RunModal(
        [&] {
            AFX_MAINTAIN_STATE2 driver(GetDriverModuleState());
            return dialog.DoModal();
        },
        kProbeCaption,
        [&](HWND hWnd) {
            HWND list = GetDlgItem(hWnd, 201);
            HWND value = GetDlgItem(hWnd, 202);
            const int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
            for (int i = 0; i < count; ++i)
                items.push_back(dd::ComboItem(list, i));
            selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
            shown = dd::Text(value);
            liveWhileOpen = GetDriverModuleState()->m_nLiveWindows;

            dd::SetText(value, "6");
            dd::Click(GetDlgItem(hWnd, IDOK));
            HWND box = dd::WaitForOwnedPopup(hWnd);
            ASSERT_NE(nullptr, box);
            message = dd::MessageBoxText(box);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            dd::WaitForGone(box);

            SendMessageA(list, CB_SETCURSEL, 0, 0);
            dd::SetText(value, " -5 ");
            dd::Click(GetDlgItem(hWnd, IDOK));
            dd::WaitForGone(hWnd);
        });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ((std::vector<std::string>{"A", "D"}), items);
    EXPECT_EQ(1, selected);
    EXPECT_EQ("-3", shown);
    EXPECT_EQ(2, liveWhileOpen) << "the dialog and its combo box count as live windows";
    EXPECT_EQ("Please enter an integer between -5 and 5.", message);
    EXPECT_EQ(0, dialog.m_index);
    EXPECT_EQ(-5, dialog.m_value);
    EXPECT_EQ(&g_hostState, AfxGetModuleState());
    EXPECT_EQ(nullptr, dialog.m_hWnd);
    EXPECT_EQ(nullptr, dialog.m_list.m_hWnd);
    EXPECT_EQ(0, GetDriverModuleState()->m_nLiveWindows);
}
