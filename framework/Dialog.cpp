#include "framework/Dialog.h"

#include "framework/DynLinkLibrary.h"

#include <cstring>

namespace {

// The dialog-initialisation records carry 16-bit message codes.
UINT ToWin32Message(WORD message) {
    switch (message) {
    case 0x0401:
        return LB_ADDSTRING;
    case 0x0403:
        return CB_ADDSTRING;
    default:
        return 0;
    }
}

} // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT templateId, HWND parent) : m_nIDTemplate(templateId), m_hWndParent(parent) {}

INT_PTR CDialog::DoModal() {
    if (m_hWnd != nullptr)
        return -1;
    LPCSTR name = MAKEINTRESOURCEA(m_nIDTemplate);
    m_hInstTemplate = AfxFindResourceHandle(name, RT_DIALOG);
    m_pOwnerState = AfxGetModuleState();
    return DialogBoxParamA(m_hInstTemplate, name, m_hWndParent, AfxDlgProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int result) {
    if (m_hWnd != nullptr)
        ::EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() {
    ExecuteDlgInit();
    // A template that lacks a control the exchange needs cannot be saved from.
    if (!UpdateData(FALSE)) {
        EndDialog(-1);
        return FALSE;
    }
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::ExecuteDlgInit() {
    LPCSTR name = MAKEINTRESOURCEA(m_nIDTemplate);
    HRSRC found = FindResourceA(m_hInstTemplate, name, RT_DLGINIT);
    if (found == nullptr)
        return;
    HGLOBAL loaded = LoadResource(m_hInstTemplate, found);
    const auto* data = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    if (data == nullptr)
        return;
    const BYTE* p = data;
    const BYTE* end = data + SizeofResource(m_hInstTemplate, found);
    // Records are packed: a text of odd length leaves the next one unaligned.
    while (end - p >= 2) {
        WORD id;
        std::memcpy(&id, p, sizeof id);
        if (id == 0 || end - p < 8)
            break;
        WORD message;
        DWORD length;
        std::memcpy(&message, p + 2, sizeof message);
        std::memcpy(&length, p + 4, sizeof length);
        p += 8;
        if (length > static_cast<DWORD>(end - p))
            break;
        const UINT win32Message = ToWin32Message(message);
        // Only a text that ends within its record is passed on.
        if (win32Message != 0 && length > 0 && p[length - 1] == '\0')
            SendDlgItemMessageA(m_hWnd, id, win32Message, 0, reinterpret_cast<LPARAM>(p));
        p += length;
    }
}

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM, LPARAM lParam) {
    if (message != WM_INITDIALOG)
        return FALSE;
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    if (dialog == nullptr)
        return FALSE;
    try {
        AFX_MAINTAIN_STATE2 state(dialog->m_pOwnerState);
        if (!dialog->SubclassWindow(hWnd)) {
            ::EndDialog(hWnd, -1);
            return FALSE;
        }
        return dialog->OnInitDialog();
    } catch (...) {
        ::EndDialog(hWnd, -1);
        return FALSE;
    }
}
