#pragma once
// A modal dialog built from a template in the current module's resources. When it
// opens, the dialog-initialisation resource of the same name fills its lists and
// DoDataExchange moves the members into the controls; OK exchanges them back.

#include "framework/Wnd.h"

// Resource type of the dialog-initialisation data: records of control id (16
// bits), message (16 bits), data length (32 bits) and data, ended by a 16-bit 0.
#ifndef RT_DLGINIT
#define RT_DLGINIT MAKEINTRESOURCEA(240)
#endif

class CDialog : public CWnd {
public:
    CDialog(UINT templateId, HWND parent = nullptr);
    ~CDialog() override = default;

    // Runs the platform's modal loop on this thread until the dialog ends.
    // Returns the EndDialog result (IDOK, IDCANCEL), or -1 when the dialog could
    // not be created (template missing, no display, already open).
    virtual INT_PTR DoModal();
    void EndDialog(int result);

protected:
    // Fills the lists from the initialisation data and loads the members into the
    // controls. TRUE: the system puts the focus on the first tab stop.
    virtual BOOL OnInitDialog();
    // UpdateData(TRUE), then ends the dialog with IDOK; stays open if refused.
    virtual void OnOK();
    // Ends the dialog with IDCANCEL, exchanging nothing.
    virtual void OnCancel();

    UINT m_nIDTemplate;
    HWND m_hWndParent;

    DECLARE_MESSAGE_MAP()

private:
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
    void ExecuteDlgInit();

    HINSTANCE m_hInstTemplate = nullptr;
    AFX_MODULE_STATE* m_pOwnerState = nullptr;
};

// The dialog procedure of every CDialog: takes its object from WM_INITDIALOG;
// messages before that one (WM_SETFONT and the like) get the default handling.
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
