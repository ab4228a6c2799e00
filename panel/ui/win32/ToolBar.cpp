// Win32 toolbar (ToolbarWindow32) of the dialog layer: a flat text-and-image
// toolbar laid along the top of a dialog.
#include "panel/ui/win32/Backend.h"

#include <vector>

namespace ui {

ImageList::~ImageList()
{
    if (m_native != nullptr) {
        ImageList_Destroy((HIMAGELIST)m_native);
    }
}

bool ImageList::Create(int width, int height, UINT flags, int initial, int grow)
{
    if (m_native != nullptr) {
        ImageList_Destroy((HIMAGELIST)m_native);
    }
    m_native = ImageList_Create(width, height, flags, initial, grow);
    return m_native != nullptr;
}

int ImageList::Add(IconHandle icon)
{
    return m_native != nullptr ? ImageList_AddIcon((HIMAGELIST)m_native, (HICON)icon) : -1;
}

int ImageList::GetImageCount() const
{
    return m_native != nullptr ? ImageList_GetImageCount((HIMAGELIST)m_native) : 0;
}

bool ToolBar::Create(Dialog &parent)
{
    HWND owner = Backend::Window(parent);
    if (owner == nullptr) {
        return false;
    }
    // Flat list style: the text stands right of the image. The bar stays below
    // its siblings and clips them, so the lists it overlaps paint over it.
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | TBSTYLE_FLAT | TBSTYLE_LIST | CCS_TOP | CCS_NOPARENTALIGN |
                  CCS_NORESIZE | CCS_NODIVIDER;
    HWND bar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr, style, 0, 0, 0, 0, owner,
                               (HMENU)(INT_PTR)IDC_TOOLBAR, ModuleInstance(), nullptr);
    if (bar == nullptr) {
        return false;
    }
    Backend::Attach(*this, parent, IDC_TOOLBAR, bar);
    SetWindowPos(bar, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageW(bar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    return true;
}

bool ToolBar::SetButtons(int count)
{
    if (m_native == nullptr || count <= 0) {
        return false;
    }
    // Blank buttons; SetButtonInfo and SetButtonText give them their command,
    // image and caption.
    std::vector<TBBUTTON> items((size_t)count);
    for (TBBUTTON &item : items) {
        item = TBBUTTON();
        item.iBitmap = I_IMAGENONE;
        item.fsState = TBSTATE_ENABLED;
        item.fsStyle = BTNS_BUTTON;
        item.iString = -1;
    }
    return SendMessageW((HWND)m_native, TB_ADDBUTTONSW, (WPARAM)count, (LPARAM)items.data()) != 0;
}

void ToolBar::Move(int x, int y, int width, int height)
{
    if (m_native != nullptr) {
        MoveWindow((HWND)m_native, x, y, width, height, TRUE);
    }
}

void ToolBar::SetPadding(int horizontal, int vertical)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TB_SETPADDING, 0, MAKELPARAM(horizontal, vertical));
    }
}

void ToolBar::SetImageList(ImageList &images)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TB_SETIMAGELIST, 0, (LPARAM)images.Native());
    }
}

void ToolBar::SetDisabledImageList(ImageList &images)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TB_SETDISABLEDIMAGELIST, 0, (LPARAM)images.Native());
    }
}

void ToolBar::SetButtonInfo(int index, UINT command, UINT style, int image)
{
    if (m_native == nullptr) {
        return;
    }
    TBBUTTONINFOW info = {};
    info.cbSize = sizeof(info);
    info.dwMask = TBIF_BYINDEX | TBIF_COMMAND | TBIF_STYLE | TBIF_IMAGE;
    info.idCommand = (int)command;
    info.fsStyle = (BYTE)style;
    info.iImage = image;
    SendMessageW((HWND)m_native, TB_SETBUTTONINFOW, (WPARAM)index, (LPARAM)&info);
}

void ToolBar::SetButtonText(int index, const WCHAR *text)
{
    if (m_native == nullptr) {
        return;
    }
    // The toolbar keeps its own copy of the text.
    TBBUTTONINFOW info = {};
    info.cbSize = sizeof(info);
    info.dwMask = TBIF_BYINDEX | TBIF_TEXT;
    info.pszText = const_cast<WCHAR *>(text);
    SendMessageW((HWND)m_native, TB_SETBUTTONINFOW, (WPARAM)index, (LPARAM)&info);
}

bool ToolBar::GetItemRect(int index, RECT *rect) const
{
    return m_native != nullptr &&
           SendMessageW((HWND)m_native, TB_GETITEMRECT, (WPARAM)index, (LPARAM)rect) != 0;
}

void ToolBar::SetSizes(SIZE button, SIZE image)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TB_SETBUTTONSIZE, 0, MAKELPARAM(button.cx, button.cy));
        SendMessageW((HWND)m_native, TB_SETBITMAPSIZE, 0, MAKELPARAM(image.cx, image.cy));
    }
}

void ToolBar::EnableButton(UINT command, bool enable)
{
    if (m_native != nullptr) {
        SendMessageW((HWND)m_native, TB_ENABLEBUTTON, (WPARAM)command, MAKELPARAM(enable ? TRUE : FALSE, 0));
    }
}

bool ToolBar::IsButtonEnabled(UINT command) const
{
    return m_native != nullptr && SendMessageW((HWND)m_native, TB_ISBUTTONENABLED, (WPARAM)command, 0) != 0;
}

bool ToolBar::GetButtonRect(UINT command, RECT *rect) const
{
    if (m_native == nullptr) {
        return false;
    }
    LRESULT index = SendMessageW((HWND)m_native, TB_COMMANDTOINDEX, (WPARAM)command, 0);
    if (index < 0) {
        return false;
    }
    return SendMessageW((HWND)m_native, TB_GETITEMRECT, (WPARAM)index, (LPARAM)rect) != 0;
}

int ToolBar::ButtonCount() const
{
    return m_native != nullptr ? (int)SendMessageW((HWND)m_native, TB_BUTTONCOUNT, 0, 0) : 0;
}

}  // namespace ui
