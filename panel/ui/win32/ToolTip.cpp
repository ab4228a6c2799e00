// Win32 tooltip control (tooltips_class32) of the dialog layer: one tooltip
// window for a whole dialog, fed by relayed mouse messages.
#include "panel/ui/win32/Backend.h"

namespace ui {

namespace {

// The tool record as every comctl32 version accepts it.
TTTOOLINFOW ToolInfo()
{
    TTTOOLINFOW info = {};
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    return info;
}

}  // namespace

HWND Backend::Window(const ToolTip &toolTip)
{
    return (HWND)toolTip.m_native;
}

void Backend::Attach(ToolTip &toolTip, Dialog &dialog, HWND window)
{
    toolTip.m_dialog = &dialog;
    toolTip.m_native = window;
}

bool ToolTip::Create(Dialog &parent)
{
    HWND owner = Backend::Window(parent);
    if (owner == nullptr) {
        return false;
    }
    HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, ModuleInstance(), nullptr);
    if (tip == nullptr) {
        return false;
    }
    Backend::Attach(*this, parent, tip);
    return true;
}

void ToolTip::SetColors(COLORREF background, COLORREF text)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TTM_SETTIPBKCOLOR, (WPARAM)background, 0);
        SendMessageW((HWND)m_native, TTM_SETTIPTEXTCOLOR, (WPARAM)text, 0);
    }
}

void ToolTip::AddTool(const Control &control, const WCHAR *text)
{
    HWND window = Backend::Window(control);
    if (m_native == nullptr || window == nullptr) {
        return;
    }
    // The whole control, identified by its window.
    TTTOOLINFOW info = ToolInfo();
    info.uFlags = TTF_IDISHWND;
    info.hwnd = GetParent(window);
    info.uId = (UINT_PTR)window;
    info.hinst = ModuleInstance();
    info.lpszText = const_cast<WCHAR *>(text);
    SendMessageW((HWND)m_native, TTM_ADDTOOLW, 0, (LPARAM)&info);
}

void ToolTip::AddTool(const Control &control, UINT toolId, const RECT &rect, const WCHAR *text)
{
    HWND window = Backend::Window(control);
    if (m_native == nullptr || window == nullptr) {
        return;
    }
    // A rectangle of the control's client area (a toolbar button).
    TTTOOLINFOW info = ToolInfo();
    info.hwnd = window;
    info.uId = toolId;
    info.rect = rect;
    info.hinst = ModuleInstance();
    info.lpszText = const_cast<WCHAR *>(text);
    SendMessageW((HWND)m_native, TTM_ADDTOOLW, 0, (LPARAM)&info);
}

void ToolTip::SetAutomaticDelay(UINT milliseconds)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TTM_SETDELAYTIME, TTDT_AUTOMATIC, MAKELPARAM(milliseconds, 0));
    }
}

void ToolTip::Activate(bool active)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TTM_ACTIVATE, active ? TRUE : FALSE, 0);
    }
}

void ToolTip::RelayEvent(const MSG *message)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TTM_RELAYEVENT, 0, (LPARAM)message);
    }
}

}  // namespace ui
