// SetupDialogDriver: plays the user of the driver's setup dialog for the
// end-to-end tests. It waits for the dialog, reports what it shows, picks a port
// and a maximum position, presses OK or Cancel, and waits for the dialog to close.
//
//   SetupDialogDriver <port index> <max position text> ok|cancel [timeout ms]
//
// Exit status 0 when the dialog appeared and closed after the click, 1 otherwise.

#include "resources/resource.h"
#include "tests/common/DialogDriver.h"
#include "tests/common/TextSupport.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using testing_support::kSetupCaption;

ULONGLONG Elapsed(ULONGLONG since) {
    return GetTickCount64() - since;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[3], "ok") != 0 && std::strcmp(argv[3], "cancel") != 0)) {
        std::fprintf(stderr,
                     "usage: SetupDialogDriver <port index> <max position text> ok|cancel [timeout ms]\n");
        return 2;
    }
    const int portIndex = std::atoi(argv[1]);
    const char* maxPosition = argv[2];
    const bool ok = std::strcmp(argv[3], "ok") == 0;
    const ULONGLONG timeout = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20000;

    const ULONGLONG start = GetTickCount64();
    HWND dialog =
        testing_support::WaitForSetupDialog(static_cast<DWORD>(timeout < MAXDWORD ? timeout : MAXDWORD));
    if (dialog == nullptr) {
        std::printf("no window \"%s\" within %llu ms\n", kSetupCaption, timeout);
        return 1;
    }
    std::printf("found \"%s\" after %llu ms\n", kSetupCaption, Elapsed(start));

    HWND portList = testing_support::SetupPortList(dialog);
    HWND maxField = testing_support::SetupMaxPosition(dialog);
    if (portList == nullptr || maxField == nullptr) {
        std::printf("the dialog has no port list (%d) or maximum position field (%d)\n", IDC_PORT,
                    IDC_MAXPOS);
        return 1;
    }
    // Read by messages, which are passed between processes (GetWindowText would
    // give a control's creation text), and in UTF-16, which Wine converts for
    // another process where it leaves ANSI texts unconverted.
    wchar_t shownWide[64] = {};
    SendMessageW(maxField, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(shownWide));
    const LRESULT selected = SendMessageW(portList, CB_GETCURSEL, 0, 0);
    const LRESULT entries = SendMessageW(portList, CB_GETCOUNT, 0, 0);
    wchar_t entryWide[32] = {};
    if (selected >= 0 && SendMessageW(portList, CB_GETLBTEXTLEN, static_cast<WPARAM>(selected), 0) < 32)
        SendMessageW(portList, CB_GETLBTEXT, static_cast<WPARAM>(selected),
                     reinterpret_cast<LPARAM>(entryWide));
    const std::string shown = testing_support::Narrow(shownWide);
    const std::string entry = testing_support::Narrow(entryWide);
    std::printf("shown: port index %ld (%s) of %ld entries, max position %s\n", static_cast<long>(selected),
                entry.c_str(), static_cast<long>(entries), shown.c_str());

    SendMessageA(portList, CB_SETCURSEL, static_cast<WPARAM>(portIndex), 0);
    SendMessageA(maxField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(maxPosition));
    // Posted: the click runs the dialog's own handler, which may show a message box.
    PostMessageA(GetDlgItem(dialog, ok ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    const ULONGLONG clicked = GetTickCount64();
    while (IsWindow(dialog)) {
        if (Elapsed(clicked) > timeout) {
            std::printf("the dialog is still open %llu ms after %s\n", timeout, ok ? "OK" : "Cancel");
            return 1;
        }
        Sleep(20);
    }
    std::printf("closed %llu ms after %s\n", Elapsed(clicked), ok ? "OK" : "Cancel");
    return 0;
}
