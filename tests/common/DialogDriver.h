#pragma once
// Drives a real modal dialog from a second thread, as a user would: the calling
// thread runs DoModal (and with it the modal loop), the script thread finds the
// dialog by its caption, reads and sets controls by message, and clicks buttons.

#include <windows.h>

#include <functional>
#include <string>

namespace testing_support {

constexpr DWORD kWaitMs = 10000;

// The top-level window with this caption, or null after timeoutMs.
HWND WaitForWindow(const char* caption, DWORD timeoutMs = kWaitMs);
// An enabled window owned by owner (a message box), or null after timeoutMs.
HWND WaitForOwnedPopup(HWND owner, DWORD timeoutMs = kWaitMs);
// Waits until hWnd is gone; false after timeoutMs.
bool WaitForGone(HWND hWnd, DWORD timeoutMs = kWaitMs);
// The window with the keyboard focus on dialog's thread once it is expected, or
// whatever has it after timeoutMs.
HWND WaitForFocus(HWND dialog, HWND expected, DWORD timeoutMs = 3000);
// The same, bringing the dialog to the foreground while it is not, as a click on
// it would: without a window manager Wine may leave a dialog inactive after its
// message box goes. Once active, a dialog gives the focus to the control it saved.
HWND WaitForFocusWhenActive(HWND dialog, HWND expected, DWORD timeoutMs = 3000);

// The driver's setup dialog as resources/Setup.rc makes it: its caption, the
// dialog once shown (null after timeoutMs), and its two fields.
constexpr char kSetupCaption[] = "Setup Morvantis Focuser";
HWND WaitForSetupDialog(DWORD timeoutMs = kWaitMs);
HWND SetupPortList(HWND dialog);
HWND SetupMaxPosition(HWND dialog);

std::string Text(HWND hWnd);
std::string ComboItem(HWND combo, int index);
// The text of a message box: its first static control with text.
std::string MessageBoxText(HWND box);
void SetText(HWND hWnd, const char* text);
// Posted, not sent: the click may open a nested modal loop (a message box) that
// only the script thread can end.
void Click(HWND button);

// Runs DoModal on the calling thread and script(dialog) on a second thread. When
// the script returns, any message box it left open and the dialog itself are
// cancelled, so a failing script cannot leave the modal loop running.
// Returns DoModal's result.
INT_PTR RunModal(const std::function<INT_PTR()>& doModal, const char* caption,
                 const std::function<void(HWND dialog)>& script);

// Writes a 24-bit BMP of the screen area the window covers and counts the
// distinct colours in it (a blank capture has one).
bool CaptureWindow(HWND hWnd, const std::string& path, size_t* distinctColours);

} // namespace testing_support
