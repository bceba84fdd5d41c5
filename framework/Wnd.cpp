#include "framework/Wnd.h"

#include "framework/DataExchange.h"
#include "framework/HandleMap.h"

CWnd::~CWnd() {
    if (m_hWnd != nullptr) {
        UnsubclassWindow();
        Detach();
    }
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    return AfxLookupWindow(hWnd);
}

BOOL CWnd::Attach(HWND hWnd) {
    if (hWnd == nullptr || m_hWnd != nullptr || !AfxMapWindow(hWnd, this))
        return FALSE;
    m_hWnd = hWnd;
    m_pModuleState = AfxGetModuleState();
    if (m_pModuleState != nullptr)
        InterlockedIncrement(&m_pModuleState->m_nLiveWindows);
    return TRUE;
}

HWND CWnd::Detach() {
    HWND hWnd = m_hWnd;
    if (hWnd == nullptr)
        return nullptr;
    AfxUnmapWindow(hWnd);
    if (m_pModuleState != nullptr)
        InterlockedDecrement(&m_pModuleState->m_nLiveWindows);
    m_pModuleState = nullptr;
    m_hWnd = nullptr;
    return hWnd;
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
    if (!Attach(hWnd))
        return FALSE;
    WNDPROC proc = m_pModuleState != nullptr && m_pModuleState->m_windowProc != nullptr
                       ? m_pModuleState->m_windowProc
                       : AfxWndProc;
    // The A form: the previous procedure comes back as something CallWindowProcA
    // can call, whether the window's class is ANSI or Unicode.
    auto previous =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
    if (previous == nullptr) {
        Detach();
        return FALSE;
    }
    m_pfnSuper = previous;
    m_pfnSubclass = proc;
    return TRUE;
}

HWND CWnd::UnsubclassWindow() {
    if (m_hWnd == nullptr || m_pfnSuper == nullptr)
        return nullptr;
    // Only undo our own subclassing: someone may have subclassed after us.
    if (reinterpret_cast<WNDPROC>(GetWindowLongPtrA(m_hWnd, GWLP_WNDPROC)) == m_pfnSubclass)
        SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
    m_pfnSubclass = nullptr;
    return m_hWnd;
}

BOOL CWnd::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_bFailed;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && OnCommand(wParam, lParam))
        return 0;
    return Default(message, wParam, lParam);
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper != nullptr)
        return CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return DefWindowProcA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = CWnd::FromHandlePermanent(hWnd);
    if (wnd == nullptr)
        return DefWindowProcA(hWnd, message, wParam, lParam);
    LRESULT result = 0;
    try {
        result = wnd->WindowProc(message, wParam, lParam);
    } catch (...) {
        result = 0;
    }
    // The last message: the window is gone, whatever the handler did.
    if (message == WM_NCDESTROY && CWnd::FromHandlePermanent(hWnd) == wnd) {
        wnd->UnsubclassWindow();
        wnd->Detach();
        try {
            wnd->PostNcDestroy();
        } catch (...) {
        }
    }
    return result;
}
