// keyscour-drive: works a running keyscour.exe from outside, for the
// README's screenshots: it picks the root, types the sub key and the search
// string, starts the search and waits for its end; given a replacement, it
// then runs Replace All and answers Yes and OK. Given --menu instead, it
// selects the first row and opens the list's context menu.
//
//   keyscour-drive ROOT_INDEX SUBKEY TEXT [REPLACEMENT | --menu]

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "ui/form1_design.h"

namespace {

using namespace keyscour::design;

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (done()) return true;
        Sleep(50);
    }
    return false;
}

// Answers the next box titled "Quillon Keyscour" with the given button.
bool Answer(int button) {
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = FindWindowW(L"#32770", L"Quillon Keyscour")) != nullptr; }, 20)) return false;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    return WaitFor([&] { return !IsWindow(box); }, 20);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: keyscour-drive ROOT_INDEX SUBKEY TEXT [REPLACEMENT | --menu]\n");
        return 2;
    }
    HWND form = nullptr;
    if (!WaitFor([&] { return (form = FindWindowW(L"KeyscourForm1", nullptr)) != nullptr; }, 60)) {
        std::fprintf(stderr, "no Keyscour window\n");
        return 1;
    }
    auto item = [form](ControlId id) { return GetDlgItem(form, id); };
    SendMessageW(item(kCombo1), CB_SETCURSEL, _wtoi(argv[1]), 0);
    SendMessageW(item(kText2), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
    SendMessageW(item(kText1), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
    PostMessageW(item(kCommand1), BM_CLICK, 0, 0);
    if (!WaitFor([&] { return TextOf(item(kLabel3)) == L"Done!"; }, 60)) {
        std::fprintf(stderr, "the search did not end\n");
        return 1;
    }
    if (argc == 5 && std::wstring(argv[4]) == L"--menu") {
        // Keys, not LVM_SETITEMSTATE: a list item pointer means nothing in
        // another process.
        HWND list = item(kListView1);
        SetForegroundWindow(form);
        PostMessageW(list, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(list, WM_KEYUP, VK_DOWN, 0);
        Sleep(300);
        PostMessageW(form, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(-1, -1));
        return 0;
    }
    if (argc == 5) {
        SendMessageW(item(kTxtReplace), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
        PostMessageW(item(kCommand2), BM_CLICK, 0, 0);
        if (!Answer(IDYES) || !Answer(IDOK)) {
            std::fprintf(stderr, "the replace did not ask and report as expected\n");
            return 1;
        }
    }
    SetForegroundWindow(form);
    return 0;
}
