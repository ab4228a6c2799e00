// The panel probe's dialogs: the settings dialog that New opens and its OK,
// the About box, and closing either.
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
    wsprintfA(what, "block size list %d: %d entries, entry %d (%s) selected", id, (int)entries.size(),
              selected, Utf8(entries[(size_t)selected]));
    CheckF(same && current == selected, what, "%ld entries, selection %ld", (long)count, (long)current);
}

}  // namespace

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
        {IDOK, L"确定", true},
        {IDCANCEL, L"取消", true},
        {IDC_DISK_COMBO, nullptr, true},
        {IDC_MEM_SIZE, L"1024", true},
        {IDC_SSD_SIZE, L"10240", false},
        {IDC_SSD_ENABLE, L"启用", true},
        {IDC_CACHE_FILE, L"", false},
        {IDC_BROWSE, L">>", false},
        {IDC_SSD_MAX_SIZE, L"20480", false},
        {IDC_SSD_GROW, L"自增长", false},
        {IDC_ALLOCATE_BLOCK, nullptr, true},
        {IDC_CACHE_BLOCK, nullptr, true},
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
               "%s\"%s\", %s", control ? "" : "missing, ", Utf8(text.c_str()),
               enabled ? "enabled" : "disabled");
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
    CheckF(diskCount == 0 ? diskSelected == CB_ERR : diskSelected == 0,
           "first disk entry selected (none when empty)", "%ld entries, selection %ld", (long)diskCount,
           (long)diskSelected);
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
