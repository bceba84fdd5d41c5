// Goes through a setup program's wizard as a user who reads each page and takes
// its default button (Next, Install, Uninstall, Finish): prints every page's
// texts as they change, then clicks, until the window is gone.
// wizard_pages <part of the window's title> <seconds>: exit code 0 when the
// window came and went within the seconds.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Search {
    const char* title;
    HWND found;
};

BOOL CALLBACK FindTitled(HWND hWnd, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    char text[256] = {};
    GetWindowTextA(hWnd, text, sizeof text);
    if (IsWindowVisible(hWnd) && std::strstr(text, search->title) != nullptr) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

// Appends a visible window's text as a line of its own.
BOOL CALLBACK AddText(HWND hWnd, LPARAM param) {
    char text[2048] = {};
    DWORD_PTR length = 0;
    if (IsWindowVisible(hWnd) &&
        SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                            1000, &length) &&
        text[0] != '\0') {
        *reinterpret_cast<std::string*>(param) += std::string("  ") + text + "\n";
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: wizard_pages <part of the title> <seconds>\n");
        return 2;
    }
    const DWORD limit = std::strtoul(argv[2], nullptr, 10) * 1000;
    const DWORD start = GetTickCount();
    Search search{argv[1], nullptr};
    std::string shown;
    DWORD settled = GetTickCount();
    while (GetTickCount() - start < limit) {
        if (search.found == nullptr) {
            EnumWindows(FindTitled, reinterpret_cast<LPARAM>(&search));
        } else if (!IsWindow(search.found)) {
            std::printf("gone\n");
            return 0;
        } else {
            std::string texts;
            EnumChildWindows(search.found, AddText, reinterpret_cast<LPARAM>(&texts));
            if (texts != shown) {
                std::printf("page\n%s", texts.c_str());
                std::fflush(stdout);
                shown = texts;
                settled = GetTickCount();
            }
            // A page that has stood still for half a second is read: its default
            // button goes on, as the Enter key would.
            HWND next = GetDlgItem(search.found, IDOK);
            if (next != nullptr && IsWindowEnabled(next) && GetTickCount() - settled > 500) {
                PostMessageA(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(next));
                settled = GetTickCount();
            }
        }
        Sleep(50);
    }
    std::printf("timed out\n");
    return 1;
}
