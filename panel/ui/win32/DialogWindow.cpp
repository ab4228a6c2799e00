// The Win32 dialog base: modal run from the resource templates, the dialog
// procedure that dispatches messages to the handlers, and pre-translation.
//
// Dialogs run in the system's modal loop (DialogBoxParamW). Their
// PreTranslateMessage step is driven by a thread message hook (WH_GETMESSAGE)
// that sees every message the loop takes from the queue, before the dialog
// manager and DispatchMessage do: this is how the main window relays mouse
// messages to its tooltip.
#include "panel/ui/win32/Backend.h"

#include <vector>

namespace ui {

namespace {

// Open dialogs, in the order they were opened (nested modal runs).
std::vector<Dialog *> &OpenDialogs()
{
    static std::vector<Dialog *> dialogs;
    return dialogs;
}

HHOOK g_messageHook = nullptr;

// True for a WM_COMMAND that stands for a command: a menu item, an
// accelerator, or a click on a button, toolbar button or notifying static.
// Other control notifications (edit changes, combo box selection...) are not
// commands of the dialog.
bool IsCommand(WPARAM wParam, LPARAM lParam)
{
    if (lParam == 0) {
        return true;
    }
    return HIWORD(wParam) == BN_CLICKED;
}

// Centres a dialog over its owner, or over the work area when it has no
// visible owner, keeping it inside the work area.
void CenterDialog(HWND window)
{
    RECT area;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT around = area;
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &around);
    }
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    if (x + width > area.right) {
        x = area.right - width;
    }
    if (y + height > area.bottom) {
        y = area.bottom - height;
    }
    if (x < area.left) {
        x = area.left;
    }
    if (y < area.top) {
        y = area.top;
    }
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

HINSTANCE ModuleInstance()
{
    return GetModuleHandleW(nullptr);
}

HWND Backend::Window(const Dialog &dialog)
{
    return (HWND)dialog.m_native;
}

Dialog *Backend::ActiveDialog()
{
    std::vector<Dialog *> &open = OpenDialogs();
    return open.empty() ? nullptr : open.back();
}

bool Backend::PreTranslate(MSG *message)
{
    std::vector<Dialog *> &open = OpenDialogs();
    for (HWND window = message->hwnd; window != nullptr;) {
        for (size_t i = open.size(); i-- > 0;) {
            if (Window(*open[i]) == window) {
                if (open[i]->PreTranslateMessage(message)) {
                    return true;
                }
                break;
            }
        }
        if ((GetWindowLongW(window, GWL_STYLE) & WS_CHILD) == 0) {
            break;
        }
        window = GetParent(window);
    }
    return false;
}

LRESULT CALLBACK Backend::GetMessageHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        MSG *message = (MSG *)lParam;
        if (message->hwnd != nullptr && PreTranslate(message)) {
            // Consumed: the loop goes on with a message that does nothing.
            message->message = WM_NULL;
        }
    }
    return CallNextHookEx(g_messageHook, code, wParam, lParam);
}

INT_PTR CALLBACK Backend::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Dialog *dialog;
    if (message == WM_INITDIALOG) {
        dialog = (Dialog *)lParam;
        SetWindowLongPtrW(window, DWLP_USER, (LONG_PTR)dialog);
        dialog->m_native = window;
        OpenDialogs().push_back(dialog);
        RECT before;
        GetWindowRect(window, &before);
        BOOL result = dialog->OnInitDialog();
        // A dialog that its initialisation did not place is centred.
        RECT after;
        GetWindowRect(window, &after);
        LONG style = GetWindowLongW(window, GWL_STYLE);
        if (EqualRect(&before, &after) && (style & (WS_CHILD | DS_ABSALIGN)) == 0) {
            CenterDialog(window);
        }
        return result;
    }
    dialog = (Dialog *)GetWindowLongPtrW(window, DWLP_USER);
    if (dialog == nullptr) {
        return FALSE;
    }

    switch (message) {
    case WM_COMMAND:
        if (IsCommand(wParam, lParam) && dialog->OnCommand(LOWORD(wParam))) {
            return TRUE;
        }
        return FALSE;

    case WM_NOTIFY: {
        const NMHDR *header = (const NMHDR *)lParam;
        LRESULT result = 0;
        if (dialog->OnNotify((int)header->idFrom, (int)header->code, &result)) {
            SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    }

    case WM_TIMER:
        dialog->OnTimer(wParam);
        return FALSE;

    case WM_SYSCOMMAND:
        return dialog->OnSysCommand((UINT)wParam) ? TRUE : FALSE;

    case WM_PAINT:
        return dialog->OnPaint() ? TRUE : FALSE;

    case WM_QUERYDRAGICON:
        // One of the messages whose dialog procedure result is the answer.
        return (INT_PTR)dialog->OnQueryDragIcon();

    case WM_DESTROY:
        dialog->OnDestroy();
        return FALSE;

    case WM_NCDESTROY: {
        std::vector<Dialog *> &open = OpenDialogs();
        for (size_t i = open.size(); i-- > 0;) {
            if (open[i] == dialog) {
                open.erase(open.begin() + (ptrdiff_t)i);
                break;
            }
        }
        SetWindowLongPtrW(window, DWLP_USER, 0);
        dialog->m_native = nullptr;
        return FALSE;
    }

    default:
        return FALSE;
    }
}

Dialog::~Dialog()
{
    std::vector<Dialog *> &open = OpenDialogs();
    for (size_t i = open.size(); i-- > 0;) {
        if (open[i] == this) {
            open.erase(open.begin() + (ptrdiff_t)i);
        }
    }
}

INT_PTR Dialog::DoModal()
{
    Dialog *owner = Backend::ActiveDialog();
    bool installHook = g_messageHook == nullptr;
    if (installHook) {
        g_messageHook =
            SetWindowsHookExW(WH_GETMESSAGE, Backend::GetMessageHook, nullptr, GetCurrentThreadId());
    }
    INT_PTR result = DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(m_templateId),
                                     owner != nullptr ? Backend::Window(*owner) : nullptr,
                                     Backend::DialogProc, (LPARAM)this);
    if (installHook && g_messageHook != nullptr) {
        UnhookWindowsHookEx(g_messageHook);
        g_messageHook = nullptr;
    }
    return result;
}

void Dialog::EndDialog(INT_PTR result)
{
    if (m_native != nullptr) {
        ::EndDialog((HWND)m_native, result);
    }
}

}  // namespace ui
