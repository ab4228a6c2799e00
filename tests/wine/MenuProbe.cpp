// The panel probe's menus: the volume list's context menu, the window menu,
// and closing an open one.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "CheckLog.h"
#include "PanelProbe.h"
#include "RemoteWindow.h"
#include "panel/Messages.h"
#include "panel/Resource.h"

namespace {

void SendKey(WORD key)
{
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

HWND WaitForMenu(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        for (HWND window = GetTopWindow(nullptr); window != nullptr;
             window = GetWindow(window, GW_HWNDNEXT)) {
            if (ClassOf(window) == L"#32768" && IsWindowVisible(window)) {
                return window;
            }
        }
        Sleep(100);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

}  // namespace

// A right click into the empty volume list opens the context menu (only
// "新建(&N)" with no row selected); it stays open for the screenshot.
int RunMenu()
{
    HWND main = MainWindow(5000);
    if (!Check(main != nullptr, "main window is open")) {
        return Summary();
    }
    SetForegroundWindow(main);
    RECT list;
    GetWindowRect(GetDlgItem(main, IDC_VOLUME_LIST), &list);
    // Absolute coordinates run from 0 to 65535 across the screen.
    int x = list.left + 60;
    int y = list.top + 60;
    INPUT click[3] = {};
    click[0].type = INPUT_MOUSE;
    click[0].mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    click[0].mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    click[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    click[1].type = INPUT_MOUSE;
    click[1].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    click[2].type = INPUT_MOUSE;
    click[2].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    SendInput(1, &click[0], sizeof(INPUT));
    Sleep(300);
    SendInput(2, &click[1], sizeof(INPUT));
    Check(WaitForMenu(5000) != nullptr, "right click on the volume list opens the context menu");
    return Summary();
}

// Alt+Space opens the window menu, which ends with "关于 Cache(&A)...".
int RunSystemMenu()
{
    HWND main = MainWindow(5000);
    if (!Check(main != nullptr, "main window is open")) {
        return Summary();
    }
    SetForegroundWindow(main);
    PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, L' ');
    Check(WaitForMenu(5000) != nullptr, "the window menu opens");
    return Summary();
}

int RunEscape()
{
    SendKey(VK_ESCAPE);
    Sleep(300);
    if (WaitForMenu(200) != nullptr) {
        SendKey(VK_ESCAPE);
        Sleep(300);
    }
    return 0;
}
