// The panel probe's look at the main window: caption, version label,
// toolbar, lists, tooltips; the installed driver file and the service the
// panel created.
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
               "command %d, caption \"%s\", %s", command, Utf8(caption.c_str()),
               enabled ? "enabled" : "disabled");
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
        CheckF(heading == headings[i] && width == widths[i], what, "\"%s\", %d pixels", Utf8(heading.c_str()),
               width);
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
        CheckF(label == rows[i] && empty, what, "\"%s\"%s", Utf8(label.c_str()),
               empty ? "" : ", figures set");
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
        bool target = e.Id == 0
                          ? (tool.Flags & TTF_IDISHWND) && (HWND)tool.Id == control
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
    if (Check(QueryServiceConfigW(service, config, (DWORD)buffer.size(), &needed) != FALSE,
              "service configuration reads")) {
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
        bool pathOk =
            lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
        CheckF(pathOk, "service image is ...\\Drivers\\Tessiro8.sys", "\"%s\"", Utf8(path.c_str()));
        CheckText(config->lpDisplayName ? config->lpDisplayName : L"", L"Tessiro8", "service display name");
    }
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    CheckF(status.dwCurrentState == SERVICE_RUNNING, "service is running", "state %lu",
           status.dwCurrentState);
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

}  // namespace

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
           "minimise box, no maximise box, fixed size, task bar window", "style 0x%08lx, extended 0x%08lx",
           style, exStyle);
    CheckToolBar(main);
    CheckList(main, IDC_VOLUME_LIST, "volume list",
              {L"卷", L"卷大小 GB", L"命中率", L"内存(已用/总共) MB", L"SSD(已用/总共) MB"},
              {100, 80, 90, 140, 140}, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    LRESULT rows = SendMessageW(GetDlgItem(main, IDC_VOLUME_LIST), LVM_GETITEMCOUNT, 0, 0);
    CheckF(rows == 0, "volume list is empty (nothing cached or configured)", "%ld rows", (long)rows);
    CheckList(main, IDC_DETAIL_LIST, "detail list", {L"类型", L"读次数", L"读大小", L"读速度"},
              {100, 130, 130, 130}, LVS_EX_FULLROWSELECT);
    CheckDetailRows(main);
    CheckToolTips(main);
    CheckService();
    CheckDriverFile(builtDriver);
    return Summary();
}
