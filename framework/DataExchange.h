#pragma once
// Dialog data exchange: moves values between a dialog's controls and its
// members, in the direction the exchange was made for, and validates on saving.
// A refused value is reported to the user at once (a message box owned by the
// dialog), the focus is on the offending field when the box closes, and the
// exchange is marked failed: every later DDX_/DDV_ call of the same exchange then does nothing.

#include "framework/Wnd.h"

class CDataExchange {
public:
    CDataExchange(CWnd* dlgWnd, BOOL saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dlgWnd) {}

    // The control id of the dialog, remembered as the field a later failure
    // refers to. Null (and the exchange failed) when the dialog has no such control.
    HWND PrepareCtrl(int id);
    HWND PrepareEditCtrl(int id);
    // Marks the exchange failed and puts the focus back on the last prepared
    // control, with an edit field's text selected.
    void Fail();
    // Fail(), then shows message in a box owned by the dialog.
    void FailWithMessage(const char* message);

    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    HWND m_hWndLastControl = nullptr;
    BOOL m_bEditLastControl = FALSE;
    BOOL m_bFailed = FALSE;

private:
    void FocusLastControl();
};

// Attaches (subclasses) the control with this id to control, once.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// Loading selects entry index (no selection when out of range); saving reads the
// selected index, -1 if none.
void DDX_CBIndex(CDataExchange* pDX, int id, int& index);
// Loading shows value in decimal; saving accepts optional blanks, an optional
// sign and decimal digits within the 32-bit range, anything else is refused with
// "Please enter an integer.".
void DDX_Text(CDataExchange* pDX, int id, int& value);
// Saving refuses a value outside minVal..maxVal (both allowed) with
// "Please enter an integer between <min> and <max>.".
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal);

// The integer rule of DDX_Text, for callers that parse the same way.
bool AfxParseInt(const char* text, int* value);
