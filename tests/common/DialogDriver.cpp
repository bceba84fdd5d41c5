#include "tests/common/DialogDriver.h"

#include "resources/resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>
#include <vector>

namespace testing_support {

namespace {

template <typename Predicate> bool Poll(DWORD timeoutMs, Predicate done) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
}

struct OwnedSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwned(HWND hWnd, LPARAM param) {
    auto* search = reinterpret_cast<OwnedSearch*>(param);
    if (hWnd != search->owner && GetWindow(hWnd, GW_OWNER) == search->owner && IsWindowVisible(hWnd)) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindStaticText(HWND hWnd, LPARAM param) {
    char cls[32] = {};
    GetClassNameA(hWnd, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0) {
        std::string text = Text(hWnd);
        if (!text.empty()) {
            *reinterpret_cast<std::string*>(param) = text;
            return FALSE;
        }
    }
    return TRUE;
}

HWND OwnedPopup(HWND owner) {
    OwnedSearch search{owner, nullptr};
    EnumThreadWindows(GetWindowThreadProcessId(owner, nullptr), FindOwned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

HWND WaitForWindow(const char* caption, DWORD timeoutMs) {
    HWND found = nullptr;
    Poll(timeoutMs, [&] {
        found = FindWindowA(nullptr, caption);
        return found != nullptr && IsWindowVisible(found);
    });
    return found;
}

HWND WaitForSetupDialog(DWORD timeoutMs) {
    return WaitForWindow(kSetupCaption, timeoutMs);
}

HWND SetupPortList(HWND dialog) {
    return GetDlgItem(dialog, IDC_PORT);
}

HWND SetupMaxPosition(HWND dialog) {
    return GetDlgItem(dialog, IDC_MAXPOS);
}

HWND WaitForOwnedPopup(HWND owner, DWORD timeoutMs) {
    HWND found = nullptr;
    Poll(timeoutMs, [&] { return (found = OwnedPopup(owner)) != nullptr; });
    return found;
}

bool WaitForGone(HWND hWnd, DWORD timeoutMs) {
    return Poll(timeoutMs, [&] { return !IsWindow(hWnd); });
}

HWND WaitForFocus(HWND dialog, HWND expected, DWORD timeoutMs) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    Poll(timeoutMs, [&] { return GetGUIThreadInfo(thread, &info) && info.hwndFocus == expected; });
    return info.hwndFocus;
}

HWND WaitForFocusWhenActive(HWND dialog, HWND expected, DWORD timeoutMs) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    Poll(timeoutMs, [&] {
        if (GetForegroundWindow() != dialog)
            SetForegroundWindow(dialog);
        return GetGUIThreadInfo(thread, &info) && info.hwndFocus == expected;
    });
    return info.hwndFocus;
}

std::string Text(HWND hWnd) {
    char text[512] = {};
    SendMessageA(hWnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string ComboItem(HWND combo, int index) {
    const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR)
        return "<none>";
    std::vector<char> text(static_cast<size_t>(length) + 1);
    SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    return text.data();
}

std::string MessageBoxText(HWND box) {
    std::string text;
    EnumChildWindows(box, FindStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void SetText(HWND hWnd, const char* text) {
    SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void Click(HWND button) {
    PostMessageA(button, BM_CLICK, 0, 0);
}

INT_PTR RunModal(const std::function<INT_PTR()>& doModal, const char* caption,
                 const std::function<void(HWND dialog)>& script) {
    std::thread user([&] {
        HWND dialog = WaitForWindow(caption);
        if (dialog == nullptr) {
            ADD_FAILURE() << "no window \"" << caption << "\" appeared";
            return;
        }
        script(dialog);
        // Whatever the script left open goes, message boxes first.
        for (int i = 0; i < 5 && IsWindow(dialog); ++i) {
            if (HWND box = OwnedPopup(dialog)) {
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                WaitForGone(box, 2000);
                continue;
            }
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            WaitForGone(dialog, 2000);
        }
    });
    const INT_PTR result = doModal();
    user.join();
    return result;
}

bool CaptureWindow(HWND hWnd, const std::string& path, size_t* distinctColours) {
    RECT rect{};
    if (!GetWindowRect(hWnd, &rect))
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const int lines = GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (lines != height)
        return false;
    std::set<unsigned> colours;
    for (int y = 0; y < height; ++y) {
        const BYTE* row = pixels.data() + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x)
            colours.insert(row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16);
    }
    *distinctColours = colours.size();

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
              std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    ok = std::fclose(out) == 0 && ok;
    return ok;
}

} // namespace testing_support
