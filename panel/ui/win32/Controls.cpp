// Win32 controls of the dialog layer: any child window, buttons and check
// boxes, drop-down combo boxes.
#include "panel/ui/win32/Backend.h"

#include <vector>

namespace ui {

HWND Backend::Window(const Control &control)
{
    return (HWND)control.m_native;
}

void Backend::Attach(Control &control, Dialog &dialog, int id, HWND window)
{
    control.m_dialog = &dialog;
    control.m_id = id;
    control.m_native = window;
}

Text WindowText(HWND window)
{
    int length = GetWindowTextLengthW(window);
    std::vector<WCHAR> buffer((size_t)(length > 0 ? length : 0) + 1, 0);
    GetWindowTextW(window, buffer.data(), (int)buffer.size());
    return Text(buffer.data());
}

// ---------------------------------------------------------------- Control

void Control::Bind(Dialog &dialog, int id)
{
    HWND parent = Backend::Window(dialog);
    HWND window = parent != nullptr ? GetDlgItem(parent, id) : nullptr;
    Backend::Attach(*this, dialog, id, window);
}

void Control::Enable(bool enable)
{
    if (m_native != nullptr) {
        EnableWindow((HWND)m_native, enable ? TRUE : FALSE);
    }
}

bool Control::IsEnabled() const
{
    return m_native != nullptr && IsWindowEnabled((HWND)m_native);
}

void Control::SetText(const WCHAR *text)
{
    if (m_native != nullptr) {
        SetWindowTextW((HWND)m_native, text);
    }
}

Text Control::GetText() const
{
    return m_native != nullptr ? WindowText((HWND)m_native) : Text();
}

void Control::SetFocus()
{
    if (m_native != nullptr) {
        HWND parent = GetParent((HWND)m_native);
        // Through the dialog manager, so that the default button follows.
        SendMessageW(parent, WM_NEXTDLGCTL, (WPARAM)m_native, TRUE);
    }
}

void Control::Show(bool show)
{
    if (m_native != nullptr) {
        ShowWindow((HWND)m_native, show ? SW_SHOW : SW_HIDE);
    }
}

// ---------------------------------------------------------------- Button

int Button::GetCheck() const
{
    if (m_native == nullptr) {
        return 0;
    }
    return (int)SendMessageW((HWND)m_native, BM_GETCHECK, 0, 0);
}

void Button::SetCheck(int state)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, BM_SETCHECK, (WPARAM)state, 0);
    }
}

// ---------------------------------------------------------------- ComboBox

int ComboBox::AddString(const WCHAR *text)
{
    if (m_native == nullptr) {
        return 0;
    }
    return (int)SendMessageW((HWND)m_native, CB_ADDSTRING, 0, (LPARAM)text);
}

void ComboBox::ResetContent()
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, CB_RESETCONTENT, 0, 0);
    }
}

int ComboBox::GetCount() const
{
    if (m_native == nullptr) {
        return 0;
    }
    LRESULT count = SendMessageW((HWND)m_native, CB_GETCOUNT, 0, 0);
    return count == CB_ERR ? 0 : (int)count;
}

int ComboBox::GetCurSel() const
{
    if (m_native == nullptr) {
        return -1;
    }
    LRESULT selected = SendMessageW((HWND)m_native, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? -1 : (int)selected;
}

void ComboBox::SetCurSel(int index)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, CB_SETCURSEL, (WPARAM)index, 0);
    }
}

Text ComboBox::GetLBText(int index) const
{
    if (m_native == nullptr || index < 0) {
        return Text();
    }
    LRESULT length = SendMessageW((HWND)m_native, CB_GETLBTEXTLEN, (WPARAM)index, 0);
    if (length == CB_ERR || length < 0) {
        return Text();
    }
    std::vector<WCHAR> buffer((size_t)length + 1, 0);
    if (SendMessageW((HWND)m_native, CB_GETLBTEXT, (WPARAM)index, (LPARAM)buffer.data()) == CB_ERR) {
        return Text();
    }
    buffer[(size_t)length] = 0;
    return Text(buffer.data());
}

}  // namespace ui
