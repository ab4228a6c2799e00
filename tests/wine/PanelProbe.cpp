// Looks at the running control panel from another process, as a user would
// see it, and drives it through the commands a user would give:
//
//   tessiro8_panel_probe.exe main <path of the built Tessiro8.sys>
//       the main window (caption, version label, toolbar, lists, tooltips),
//       the installed driver file and the kernel service it created
//   tessiro8_panel_probe.exe new        opens the settings dialog (New)
//   tessiro8_panel_probe.exe new-ok     presses OK in it: the start fails
//   tessiro8_panel_probe.exe about      opens the About box (system menu
//                                       command, then the toolbar command)
//   tessiro8_panel_probe.exe menu       right click into the volume list
//   tessiro8_panel_probe.exe sysmenu    opens the window menu
//   tessiro8_panel_probe.exe escape     closes an open menu
//   tessiro8_panel_probe.exe close about|settings   cancels that dialog
//   tessiro8_panel_probe.exe wow64      a 32-bit panel on 64-bit Windows:
//                                       its one message, nothing installed
//   tessiro8_panel_probe.exe wow64-answer   answers it: the panel ends
//
// Each run prints one line per check and "N passed, N failed".
//
// The checks live by window: MainWindowProbe.cpp, DialogProbe.cpp (settings
// and About), MenuProbe.cpp; the start on 64-bit Windows is here.
#include <windows.h>

#include <stdio.h>

#include "CheckLog.h"
#include "PanelProbe.h"
#include "RemoteWindow.h"
#include "panel/Messages.h"
#include "panel/Resource.h"

bool IsMainWindow(HWND window)
{
    return GetDlgItem(window, IDC_VOLUME_LIST) != nullptr;
}

bool IsMessageBox(HWND window)
{
    return GetDlgItem(window, IDC_VOLUME_LIST) == nullptr;
}

HWND MainWindow(DWORD timeoutMs)
{
    return WaitForDialog(kTitle, timeoutMs, IsMainWindow);
}

bool CheckText(const WString &actual, const WCHAR *expected, const char *what)
{
    return CheckF(actual == expected, what, "reads \"%s\", expected \"%s\"", Utf8(actual.c_str()),
                  Utf8(expected));
}

WString MessageTextOf(HWND box)
{
    WString message;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Static" && !TextOf(child).empty()) {
            message = TextOf(child);
        }
    }
    return message;
}

bool ServiceExists()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return true;
    }
    SC_HANDLE service = OpenServiceW(manager, L"Tessiro8", SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

// The 32-bit panel started on 64-bit Windows: one message box telling to use
// the 64-bit version, no main window, no service, no driver file in either
// system folder, and the panel ends once the message is answered.
int RunWow64()
{
    HWND box = WaitForDialog(kTitle, 60000, IsMessageBox);
    if (Check(box != nullptr, "a message box appears")) {
        CheckText(MessageTextOf(box), TEXT_USE_64BIT_PANEL, "message box text");
    }
    Check(MainWindow(0) == nullptr, "no main window");
    Check(!ServiceExists(), "no service Tessiro8 was created");
    WCHAR windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (Check(length > 0 && length < MAX_PATH - 40, "Windows folder known")) {
        for (const WCHAR *folder :
             {L"\\system32\\drivers\\Tessiro8.sys", L"\\SysWOW64\\drivers\\Tessiro8.sys"}) {
            WString path = WString(windows) + folder;
            CheckF(GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES, "no driver file written",
                   "%s exists", Utf8(path.c_str()));
        }
    }
    return Summary();
}

// Answers that message: the panel then ends without having installed anything.
int RunWow64Answer()
{
    HWND box = WaitForDialog(kTitle, 5000, IsMessageBox);
    if (!Check(box != nullptr, "the message box is open")) {
        return Summary();
    }
    DWORD panelProcessId = 0;
    GetWindowThreadProcessId(box, &panelProcessId);
    HANDLE panel = OpenProcess(SYNCHRONIZE, FALSE, panelProcessId);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Check(panel != nullptr && WaitForSingleObject(panel, 20000) == WAIT_OBJECT_0,
          "the panel ends after the message");
    if (panel) {
        CloseHandle(panel);
    }
    Check(!ServiceExists(), "still no service Tessiro8");
    return Summary();
}

int wmain(int argc, WCHAR **argv)
{
    if (argc >= 3 && lstrcmpW(argv[1], L"main") == 0) {
        return RunMain(argv[2]);
    }
    if (argc == 2 && lstrcmpW(argv[1], L"new") == 0) {
        return RunNew();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"new-ok") == 0) {
        return RunNewOk();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"about") == 0) {
        return RunAbout();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"menu") == 0) {
        return RunMenu();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"sysmenu") == 0) {
        return RunSystemMenu();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"escape") == 0) {
        return RunEscape();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"wow64") == 0) {
        return RunWow64();
    }
    if (argc == 2 && lstrcmpW(argv[1], L"wow64-answer") == 0) {
        return RunWow64Answer();
    }
    if (argc == 3 && lstrcmpW(argv[1], L"close") == 0) {
        return RunClose(argv[2]);
    }
    printf(
        "usage: tessiro8_panel_probe main <Tessiro8.sys> | new | new-ok | about | menu | sysmenu | escape | close about|settings\n");
    return 2;
}
