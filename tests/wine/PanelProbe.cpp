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
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "CheckLog.h"
#include "RemoteWindow.h"
#include "panel/Messages.h"
#include "panel/Resource.h"

namespace {

const WCHAR kTitle[] = L"Oruvel无盘缓存系统";
const WCHAR kSettingsTitle[] = L"设置";
const WCHAR kAboutTitle[] = L"关于Oruvel无盘缓存系统";

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
    return CheckF(actual == expected, what, "reads \"%s\", expected \"%s\"", Utf8(actual.c_str()), Utf8(expected));
}

// The text of a message box: its last non-empty static control.
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

// Whether the service manager knows the service Tessiro8 (true when the
// manager itself cannot be opened, so that a check of absence fails).
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

// ---------------------------------------------------------------- main window

void CheckToolBar(HWND main)
{
    HWND bar = GetDlgItem(main, IDC_TOOLBAR);
    if (!Check(bar != nullptr && ClassOf(bar) == TOOLBARCLASSNAMEW, "toolbar 0xE800 exists")) {
        return;
    }
    Check(IsWindowVisible(bar) != FALSE, "toolbar is shown");
    struct Expected {
        int Command;
        const WCHAR *Caption;
        bool Enabled;
    };
    const Expected buttons[] = {
        {ID_VOLUME_NEW, L"添加", true},       {ID_VOLUME_START, L"启动", false},
        {ID_VOLUME_STOP, L"停止", false},     {ID_VOLUME_DELETE, L"删除", false},
        {ID_VOLUME_SETTINGS, L"修改", false}, {ID_ABOUT, L"关于", true},
    };
    LRESULT count = SendMessageW(bar, TB_BUTTONCOUNT, 0, 0);
    CheckF(count == 6, "toolbar has six buttons", "%ld buttons", (long)count);
    for (int i = 0; i < 6 && i < count; ++i) {
        const Expected &e = buttons[i];
        char what[128];
        wsprintfA(what, "toolbar button %d: command %d, caption %s, %s", i, e.Command, Utf8(e.Caption),
                  e.Enabled ? "enabled" : "disabled");
        int command = ToolBarCommand(bar, i);
        WString caption = ToolBarText(bar, e.Command);
        bool enabled = SendMessageW(bar, TB_ISBUTTONENABLED, (WPARAM)e.Command, 0) != 0;
        CheckF(command == e.Command && caption == e.Caption && enabled == e.Enabled, what,
               "command %d, caption \"%s\", %s", command, Utf8(caption.c_str()), enabled ? "enabled" : "disabled");
    }
    // Both image lists are in place. They live in the panel's process and
    // their handles mean nothing here, so only their presence is checked.
    HIMAGELIST normal = (HIMAGELIST)SendMessageW(bar, TB_GETIMAGELIST, 0, 0);
    HIMAGELIST disabled = (HIMAGELIST)SendMessageW(bar, TB_GETDISABLEDIMAGELIST, 0, 0);
    Check(normal != nullptr && disabled != nullptr, "toolbar has normal and disabled image lists");
}

void CheckList(HWND main, int id, const char *name, const std::vector<const WCHAR *> &headings,
               const std::vector<int> &widths, DWORD extendedStyle)
{
    HWND list = GetDlgItem(main, id);
    char what[160];
    wsprintfA(what, "%s exists", name);
    if (!Check(list != nullptr && ClassOf(list) == WC_LISTVIEWW, what)) {
        return;
    }
    int columns = ListColumnCount(list);
    wsprintfA(what, "%s has %d columns", name, (int)headings.size());
    CheckF(columns == (int)headings.size(), what, "%d columns", columns);
    for (size_t i = 0; i < headings.size() && (int)i < columns; ++i) {
        WString heading = ListColumnHeading(list, (int)i);
        int width = (int)SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0);
        wsprintfA(what, "%s column %d: \"%s\", %d pixels", name, (int)i, Utf8(headings[i]), widths[i]);
        CheckF(heading == headings[i] && width == widths[i], what, "\"%s\", %d pixels", Utf8(heading.c_str()), width);
    }
    DWORD style = (DWORD)SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    wsprintfA(what, "%s extended styles 0x%lx", name, extendedStyle);
    CheckF((style & extendedStyle) == extendedStyle, what, "0x%lx", style);
}

void CheckDetailRows(HWND main)
{
    HWND list = GetDlgItem(main, IDC_DETAIL_LIST);
    if (list == nullptr) {
        return;
    }
    const WCHAR *rows[] = {L"系统", L"卷", L"内存", L"SSD"};
    LRESULT count = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    CheckF(count == 4, "detail list has four rows", "%ld rows", (long)count);
    for (int i = 0; i < 4 && i < count; ++i) {
        char what[96];
        wsprintfA(what, "detail row %d reads %s with empty figures", i, Utf8(rows[i]));
        WString label = ListItemText(list, i, 0);
        bool empty = ListItemText(list, i, 1).empty() && ListItemText(list, i, 2).empty() &&
                     ListItemText(list, i, 3).empty();
        CheckF(label == rows[i] && empty, what, "\"%s\"%s", Utf8(label.c_str()), empty ? "" : ", figures set");
    }
}

HWND FindToolTip(HWND main)
{
    for (HWND window = GetTopWindow(nullptr); window != nullptr; window = GetWindow(window, GW_HWNDNEXT)) {
        if (ClassOf(window) == TOOLTIPS_CLASSW && GetWindow(window, GW_OWNER) == main) {
            return window;
        }
    }
    return nullptr;
}

void CheckToolTips(HWND main)
{
    HWND tip = FindToolTip(main);
    if (!Check(tip != nullptr, "tooltip control owned by the main window")) {
        return;
    }
    struct Expected {
        int Control;
        UINT Id;  // 0: the whole control
        const WCHAR *Text;
    };
    const Expected tools[] = {
        {IDC_VOLUME_LIST, 0, L"已缓存卷信息"},
        {IDC_DETAIL_LIST, 0, L"缓存状态"},
        {IDC_TOOLBAR, ID_VOLUME_NEW, L"添加"},
        {IDC_TOOLBAR, ID_VOLUME_START, L"启动"},
        {IDC_TOOLBAR, ID_VOLUME_STOP, L"停止"},
        {IDC_TOOLBAR, ID_VOLUME_DELETE, L"删除"},
        {IDC_TOOLBAR, ID_VOLUME_SETTINGS, L"设置"},
        {IDC_TOOLBAR, ID_ABOUT, L"关于"},
        {IDC_DRIVER_VERSION, 0, L"当前驱动版本:驱动版本:20110325"},
    };
    LRESULT count = SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0);
    CheckF(count == 9, "tooltip has nine tools", "%ld tools", (long)count);
    for (int i = 0; i < 9 && i < count; ++i) {
        const Expected &e = tools[i];
        RemoteTool tool = ToolTipTool(tip, i);
        HWND control = GetDlgItem(main, e.Control);
        bool target = e.Id == 0 ? (tool.Flags & TTF_IDISHWND) && (HWND)tool.Id == control
                                : tool.Window == control && tool.Id == e.Id && tool.Rect.right > tool.Rect.left;
        char what[128];
        wsprintfA(what, "tooltip %d: \"%s\" on control %d", i, Utf8(e.Text), e.Control);
        CheckF(tool.Valid && target && tool.Text == e.Text, what, "\"%s\", flags 0x%x, id %lu",
               Utf8(tool.Text.c_str()), tool.Flags, (unsigned long)tool.Id);
    }
    COLORREF background = (COLORREF)SendMessageW(tip, TTM_GETTIPBKCOLOR, 0, 0);
    COLORREF text = (COLORREF)SendMessageW(tip, TTM_GETTIPTEXTCOLOR, 0, 0);
    CheckF(background == 0xFFFFFF && text == 0, "tooltip colours: white background, black text",
           "background 0x%06lx, text 0x%06lx", background, text);
    LRESULT initial = SendMessageW(tip, TTM_GETDELAYTIME, TTDT_INITIAL, 0);
    CheckF(initial == 1000, "tooltip delay 1000 ms", "initial delay %ld ms", (long)initial);
}

void CheckService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Tessiro8", SERVICE_ALL_ACCESS) : nullptr;
    if (!Check(service != nullptr, "service Tessiro8 exists")) {
        if (manager) {
            CloseServiceHandle(manager);
        }
        return;
    }
    std::vector<BYTE> buffer(8192);
    QUERY_SERVICE_CONFIGW *config = (QUERY_SERVICE_CONFIGW *)buffer.data();
    DWORD needed = 0;
    if (Check(QueryServiceConfigW(service, config, (DWORD)buffer.size(), &needed) != FALSE, "service configuration reads")) {
        CheckF(config->dwServiceType == SERVICE_KERNEL_DRIVER, "service is a kernel driver", "type %lu",
               config->dwServiceType);
        CheckF(config->dwStartType == SERVICE_AUTO_START, "service starts automatically", "start type %lu",
               config->dwStartType);
        CheckF(config->dwErrorControl == SERVICE_ERROR_NORMAL, "service error control is normal", "%lu",
               config->dwErrorControl);
        WString path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        const WString tail = L"\\drivers\\tessiro8.sys";
        WString lower = path;
        CharLowerW(&lower[0]);
        bool pathOk = lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
        CheckF(pathOk, "service image is ...\\Drivers\\Tessiro8.sys", "\"%s\"", Utf8(path.c_str()));
        CheckText(config->lpDisplayName ? config->lpDisplayName : L"", L"Tessiro8", "service display name");
    }
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    CheckF(status.dwCurrentState == SERVICE_RUNNING, "service is running", "state %lu", status.dwCurrentState);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

std::vector<BYTE> ReadWholeFile(const WCHAR *path)
{
    std::vector<BYTE> data;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return data;
    }
    DWORD size = GetFileSize(file, nullptr);
    data.resize(size);
    DWORD read = 0;
    if (size == 0 || !ReadFile(file, data.data(), size, &read, nullptr) || read != size) {
        data.clear();
    }
    CloseHandle(file);
    return data;
}

void CheckDriverFile(const WCHAR *builtDriver)
{
    WCHAR installed[MAX_PATH];
    GetSystemDirectoryW(installed, MAX_PATH);
    lstrcatW(installed, L"\\Drivers\\Tessiro8.sys");
    std::vector<BYTE> written = ReadWholeFile(installed);
    std::vector<BYTE> built = ReadWholeFile(builtDriver);
    CheckF(!built.empty() && written == built, "panel wrote the built driver image byte for byte",
           "written %lu bytes, built %lu bytes", (unsigned long)written.size(), (unsigned long)built.size());
}

int RunMain(const WCHAR *builtDriver)
{
    HWND main = MainWindow(30000);
    if (!Check(main != nullptr, "main window appears")) {
        HWND box = WaitForDialog(kTitle, 100, IsMessageBox);
        if (box != nullptr) {
            Note("a message box is shown instead");
        }
        return Summary();
    }
    CheckText(TextOf(main), kTitle, "window text");
    CheckText(DialogItemText(main, IDC_DRIVER_VERSION), L"驱动版本:20110325", "version label");
    LONG style = GetWindowLongW(main, GWL_STYLE);
    LONG exStyle = GetWindowLongW(main, GWL_EXSTYLE);
    CheckF((style & WS_MINIMIZEBOX) && !(style & WS_MAXIMIZEBOX) && !(style & WS_THICKFRAME) &&
               (exStyle & WS_EX_APPWINDOW),
           "minimise box, no maximise box, fixed size, task bar window", "style 0x%08lx, extended 0x%08lx", style,
           exStyle);
    CheckToolBar(main);
    CheckList(main, IDC_VOLUME_LIST, "volume list",
              {L"卷", L"卷大小 GB", L"命中率", L"内存(已用/总共) MB", L"SSD(已用/总共) MB"}, {100, 80, 90, 140, 140},
              LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    LRESULT rows = SendMessageW(GetDlgItem(main, IDC_VOLUME_LIST), LVM_GETITEMCOUNT, 0, 0);
    CheckF(rows == 0, "volume list is empty (nothing cached or configured)", "%ld rows", (long)rows);
    CheckList(main, IDC_DETAIL_LIST, "detail list", {L"类型", L"读次数", L"读大小", L"读速度"}, {100, 130, 130, 130},
              LVS_EX_FULLROWSELECT);
    CheckDetailRows(main);
    CheckToolTips(main);
    CheckService();
    CheckDriverFile(builtDriver);
    return Summary();
}

// ---------------------------------------------------------------- settings dialog

void CheckCombo(HWND dialog, int id, const std::vector<const WCHAR *> &entries, int selected)
{
    HWND combo = GetDlgItem(dialog, id);
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    LRESULT current = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    bool same = count == (LRESULT)entries.size();
    for (size_t i = 0; same && i < entries.size(); ++i) {
        WCHAR text[64] = {};
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 64) {
            SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)text);
        }
        same = lstrcmpW(text, entries[i]) == 0;
    }
    char what[96];
    wsprintfA(what, "block size list %d: %d entries, entry %d (%s) selected", id, (int)entries.size(), selected,
              Utf8(entries[(size_t)selected]));
    CheckF(same && current == selected, what, "%ld entries, selection %ld", (long)count, (long)current);
}

int RunNew()
{
    HWND main = MainWindow(10000);
    if (!Check(main != nullptr, "main window is open")) {
        return Summary();
    }
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(ID_VOLUME_NEW, 0), 0);
    HWND dialog = WaitForDialog(kSettingsTitle, 10000);
    if (!Check(dialog != nullptr, "New opens the settings dialog \"设置\"")) {
        return Summary();
    }
    Check(GetWindow(dialog, GW_OWNER) == main, "settings dialog is owned by the main window");
    Check(!IsWindowEnabled(main), "main window is disabled while the dialog is open (modal)");

    struct Field {
        int Id;
        const WCHAR *Text;
        bool Enabled;
    };
    const Field fields[] = {
        {IDOK, L"确定", true},          {IDCANCEL, L"取消", true},    {IDC_DISK_COMBO, nullptr, true},
        {IDC_MEM_SIZE, L"1024", true},  {IDC_SSD_SIZE, L"10240", false}, {IDC_SSD_ENABLE, L"启用", true},
        {IDC_CACHE_FILE, L"", false},   {IDC_BROWSE, L">>", false},   {IDC_SSD_MAX_SIZE, L"20480", false},
        {IDC_SSD_GROW, L"自增长", false}, {IDC_ALLOCATE_BLOCK, nullptr, true}, {IDC_CACHE_BLOCK, nullptr, true},
    };
    for (const Field &f : fields) {
        HWND control = GetDlgItem(dialog, f.Id);
        WString text = control ? TextOf(control) : WString();
        bool enabled = control && IsWindowEnabled(control);
        char what[128];
        wsprintfA(what, "settings control %d: %s%s%s", f.Id, f.Text ? "\"" : "", f.Text ? Utf8(f.Text) : "",
                  f.Text ? "\", " : "");
        lstrcatA(what, f.Enabled ? "enabled" : "disabled");
        CheckF(control != nullptr && (f.Text == nullptr || text == f.Text) && enabled == f.Enabled, what,
               "%s\"%s\", %s", control ? "" : "missing, ", Utf8(text.c_str()), enabled ? "enabled" : "disabled");
    }
    bool unchecked = SendDlgItemMessageW(dialog, IDC_SSD_ENABLE, BM_GETCHECK, 0, 0) == BST_UNCHECKED &&
                     SendDlgItemMessageW(dialog, IDC_SSD_GROW, BM_GETCHECK, 0, 0) == BST_UNCHECKED;
    Check(unchecked, "SSD check boxes start cleared");
    CheckCombo(dialog, IDC_ALLOCATE_BLOCK, {L"16M", L"32M", L"64M", L"128M"}, 1);
    CheckCombo(dialog, IDC_CACHE_BLOCK, {L"4K", L"16K", L"64K", L"128K", L"512K", L"1M"}, 2);

    HWND disks = GetDlgItem(dialog, IDC_DISK_COMBO);
    LRESULT diskCount = SendMessageW(disks, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < diskCount; ++i) {
        WCHAR text[128] = {};
        if (SendMessageW(disks, CB_GETLBTEXTLEN, i, 0) < 128) {
            SendMessageW(disks, CB_GETLBTEXT, i, (LPARAM)text);
        }
        Note("disk entry %ld: %s", (long)i, Utf8(text));
    }
    LRESULT diskSelected = SendMessageW(disks, CB_GETCURSEL, 0, 0);
    CheckF(diskCount == 0 ? diskSelected == CB_ERR : diskSelected == 0, "first disk entry selected (none when empty)",
           "%ld entries, selection %ld", (long)diskCount, (long)diskSelected);
    return Summary();
}

// Presses OK with the defaults. Wine cannot run a volume start to its end, so
// the driver refuses it and the panel reports it as any failed start.
int RunNewOk()
{
    HWND main = MainWindow(5000);
    HWND dialog = WaitForDialog(kSettingsTitle, 5000);
    if (!Check(main != nullptr && dialog != nullptr, "main window and settings dialog are open")) {
        return Summary();
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    HWND box = WaitForDialog(kTitle, 60000, IsMessageBox);
    if (Check(box != nullptr, "a message box answers the refused start")) {
        CheckText(MessageTextOf(box), L"添加失败", "message box text");
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(1000);
    }
    Check(FindDialogs(kSettingsTitle).empty(), "settings dialog has closed");
    main = MainWindow(5000);
    Check(main != nullptr && IsWindowEnabled(main), "main window is still open and usable");
    if (main != nullptr) {
        LRESULT rows = SendMessageW(GetDlgItem(main, IDC_VOLUME_LIST), LVM_GETITEMCOUNT, 0, 0);
        CheckF(rows == 0, "no row was added", "%ld rows", (long)rows);
    }
    return Summary();
}

int RunAbout()
{
    HWND main = MainWindow(5000);
    if (!Check(main != nullptr, "main window is open")) {
        return Summary();
    }
    // The system menu's About item: the low four bits of the command do not
    // count, so 0x0013 opens the box as IDM_ABOUTBOX (0x0010) does.
    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);
    HWND about = WaitForDialog(kAboutTitle, 10000);
    Check(about != nullptr, "system command 0x0013 opens the About box");
    if (about != nullptr) {
        PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (int i = 0; i < 50 && !FindDialogs(kAboutTitle).empty(); ++i) {
            Sleep(100);
        }
        Check(FindDialogs(kAboutTitle).empty(), "About box closes with 确定");
    }
    // The toolbar's About command; the box stays open for the screenshot.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(ID_ABOUT, 0), 0);
    about = WaitForDialog(kAboutTitle, 10000);
    if (!Check(about != nullptr, "About opens \"关于Oruvel无盘缓存系统\"")) {
        return Summary();
    }
    bool icon = false;
    bool text = false;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) != L"Static") {
            continue;
        }
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            icon = icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
        } else if (TextOf(child) == kTitle) {
            text = true;
        }
    }
    Check(icon, "About box shows the application icon");
    Check(text, "About box reads \"Oruvel无盘缓存系统\"");
    CheckText(DialogItemText(about, IDOK), L"确定", "About box button");
    return Summary();
}

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
        for (HWND window = GetTopWindow(nullptr); window != nullptr; window = GetWindow(window, GW_HWNDNEXT)) {
            if (ClassOf(window) == L"#32768" && IsWindowVisible(window)) {
                return window;
            }
        }
        Sleep(100);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

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

int RunClose(const WCHAR *which)
{
    const WCHAR *caption = lstrcmpW(which, L"about") == 0 ? kAboutTitle : kSettingsTitle;
    HWND dialog = WaitForDialog(caption, 5000);
    if (dialog != nullptr) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        Sleep(500);
    }
    return 0;
}

}  // namespace

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
        for (const WCHAR *folder : {L"\\system32\\drivers\\Tessiro8.sys", L"\\SysWOW64\\drivers\\Tessiro8.sys"}) {
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
    Check(panel != nullptr && WaitForSingleObject(panel, 20000) == WAIT_OBJECT_0, "the panel ends after the message");
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
    printf("usage: tessiro8_panel_probe main <Tessiro8.sys> | new | new-ok | about | menu | sysmenu | escape | close about|settings\n");
    return 2;
}
