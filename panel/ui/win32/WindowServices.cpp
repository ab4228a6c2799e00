// Win32 services of a dialog window (message boxes, the save-file dialog,
// context and system menus, timers, icons, focus) and the application-level
// services of the layer (common controls, icon and string resources).
#include "panel/ui/win32/Backend.h"

#include <commdlg.h>

#include <vector>

namespace ui {

int Dialog::MessageBox(const WCHAR *text, const WCHAR *caption, UINT type)
{
    return ::MessageBoxW((HWND)m_native, text, caption, type);
}

bool Dialog::ChooseSaveFile(::Text &path)
{
    std::vector<WCHAR> file(1024, 0);
    OPENFILENAMEW request = {};
    request.lStructSize = sizeof(request);
    request.hwndOwner = (HWND)m_native;
    request.hInstance = ModuleInstance();
    request.lpstrFile = file.data();
    request.nMaxFile = (DWORD)file.size();
    request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameW(&request)) {
        return false;
    }
    path = file.data();
    return true;
}

void Dialog::TrackContextMenu(int menuId, int popup)
{
    HWND window = (HWND)m_native;
    if (window == nullptr) {
        return;
    }
    POINT cursor = {};
    GetCursorPos(&cursor);
    HMENU menu = LoadMenuW(ModuleInstance(), MAKEINTRESOURCEW(menuId));
    if (menu == nullptr) {
        return;
    }
    HMENU items = GetSubMenu(menu, popup);
    if (items != nullptr) {
        // Left-button tracking, top-left corner at the cursor; the chosen item
        // is posted to the window as WM_COMMAND.
        TrackPopupMenu(items, 0, cursor.x, cursor.y, 0, window, nullptr);
    }
    DestroyMenu(menu);
}

void Dialog::SetTimer(UINT_PTR id, UINT milliseconds)
{
    if (m_native != nullptr) {
        ::SetTimer((HWND)m_native, id, milliseconds, nullptr);
    }
}

void Dialog::KillTimer(UINT_PTR id)
{
    if (m_native != nullptr) {
        ::KillTimer((HWND)m_native, id);
    }
}

void Dialog::SetIcon(IconHandle icon)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, WM_SETICON, ICON_BIG, (LPARAM)icon);
        SendMessageW((HWND)m_native, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    }
}

bool Dialog::AppendSystemMenuItem(UINT command, const WCHAR *text)
{
    if (m_native == nullptr) {
        return false;
    }
    HMENU menu = GetSystemMenu((HWND)m_native, FALSE);
    if (menu == nullptr) {
        return false;
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, command, text);
    return true;
}

bool Dialog::PaintIconIfMinimised(IconHandle icon)
{
    HWND window = (HWND)m_native;
    if (window == nullptr || !IsIconic(window)) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, (WPARAM)dc, 0);
    int iconWidth = GetSystemMetrics(SM_CXICON);
    int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(window, &client);
    int x = (client.right - client.left - iconWidth + 1) / 2;
    int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, (HICON)icon);
    EndPaint(window, &paint);
    return true;
}

void Dialog::FocusControl(int id)
{
    HWND window = (HWND)m_native;
    if (window == nullptr) {
        return;
    }
    HWND control = GetDlgItem(window, id);
    if (control != nullptr) {
        // The dialog manager moves the focus and selects an edit's text.
        SendMessageW(window, WM_NEXTDLGCTL, (WPARAM)control, TRUE);
    }
}

// ---------------------------------------------------------------- application

void InitCommonControls(DWORD classes)
{
    INITCOMMONCONTROLSEX init = {};
    init.dwSize = sizeof(init);
    init.dwICC = classes;
    InitCommonControlsEx(&init);
}

IconHandle LoadIconResource(int id)
{
    // The icon's own size (32 x 32 for the application icon, 16 x 16 for the
    // toolbar images); shared, so it is never destroyed.
    return LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_SHARED);
}

Text LoadStringResource(int id)
{
    // With a zero buffer size LoadStringW hands out the resource text itself,
    // which is not terminated.
    const WCHAR *resource = nullptr;
    int length = LoadStringW(ModuleInstance(), (UINT)id, (LPWSTR)&resource, 0);
    if (length <= 0 || resource == nullptr) {
        return Text();
    }
    std::vector<WCHAR> text(resource, resource + length);
    text.push_back(0);
    return Text(text.data());
}

}  // namespace ui
