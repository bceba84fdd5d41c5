#include "framework/DataExchange.h"

#include "platform/CharClass.h"

#include <cstdio>
#include <memory>
#include <new>

bool AfxParseInt(const char* text, int* value) {
    const char* p = text;
    while (platform::IsBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    long long magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        magnitude = magnitude * 10 + (*p++ - '0');
        if (magnitude > 2147483648LL)
            return false;
    }
    while (platform::IsBlank(*p))
        ++p;
    if (*p != '\0')
        return false;
    const long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue > 2147483647LL)
        return false;
    *value = static_cast<int>(signedValue);
    return true;
}

HWND CDataExchange::PrepareCtrl(int id) {
    HWND control =
        m_pDlgWnd != nullptr && m_pDlgWnd->m_hWnd != nullptr ? GetDlgItem(m_pDlgWnd->m_hWnd, id) : nullptr;
    if (control == nullptr) {
        m_bFailed = TRUE;
        return nullptr;
    }
    m_hWndLastControl = control;
    m_bEditLastControl = FALSE;
    return control;
}

HWND CDataExchange::PrepareEditCtrl(int id) {
    HWND control = PrepareCtrl(id);
    if (control != nullptr)
        m_bEditLastControl = TRUE;
    return control;
}

void CDataExchange::Fail() {
    m_bFailed = TRUE;
    FocusLastControl();
}

void CDataExchange::FailWithMessage(const char* message) {
    // The focus moves before the box, so that the dialog saves it when the box
    // takes over and gives it back when the box goes, however late; and again
    // after, for a platform that does not reactivate the dialog at all.
    Fail();
    HWND owner = m_pDlgWnd != nullptr ? m_pDlgWnd->m_hWnd : nullptr;
    char caption[128] = {};
    if (owner != nullptr)
        GetWindowTextA(owner, caption, sizeof caption);
    MessageBoxA(owner, message, caption, MB_OK | MB_ICONEXCLAMATION);
    FocusLastControl();
}

void CDataExchange::FocusLastControl() {
    if (m_hWndLastControl == nullptr || m_pDlgWnd == nullptr || m_pDlgWnd->m_hWnd == nullptr)
        return;
    // WM_NEXTDLGCTL rather than SetFocus: the dialog keeps its default button right.
    SendMessageA(m_pDlgWnd->m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_hWndLastControl), TRUE);
    if (m_bEditLastControl)
        SendMessageA(m_hWndLastControl, EM_SETSEL, 0, -1);
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (pDX->m_bFailed || control.m_hWnd != nullptr)
        return;
    HWND item = pDX->PrepareCtrl(id);
    if (item != nullptr && !control.SubclassWindow(item))
        pDX->m_bFailed = TRUE;
}

void DDX_CBIndex(CDataExchange* pDX, int id, int& index) {
    if (pDX->m_bFailed)
        return;
    HWND combo = pDX->PrepareCtrl(id);
    if (combo == nullptr)
        return;
    if (pDX->m_bSaveAndValidate)
        index = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
    else
        SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_Text(CDataExchange* pDX, int id, int& value) {
    if (pDX->m_bFailed)
        return;
    HWND edit = pDX->PrepareEditCtrl(id);
    if (edit == nullptr)
        return;
    if (!pDX->m_bSaveAndValidate) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", value);
        SetWindowTextA(edit, text);
        return;
    }
    const int length = GetWindowTextLengthA(edit);
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    int parsed = 0;
    if (text != nullptr) {
        text[0] = '\0';
        GetWindowTextA(edit, text.get(), length + 1);
    }
    if (text == nullptr || !AfxParseInt(text.get(), &parsed)) {
        pDX->FailWithMessage("Please enter an integer.");
        return;
    }
    value = parsed;
}

void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal) {
    if (pDX->m_bFailed || !pDX->m_bSaveAndValidate)
        return;
    if (value >= minVal && value <= maxVal)
        return;
    char message[96];
    std::snprintf(message, sizeof message, "Please enter an integer between %d and %d.", minVal, maxVal);
    pDX->FailWithMessage(message);
}
