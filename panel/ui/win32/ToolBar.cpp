// Win32 toolbar (ToolbarWindow32) of the dialog layer: a flat text-and-image
// toolbar laid along the top of a dialog.
#include "panel/ui/win32/Backend.h"

#include <vector>

namespace ui {

namespace {

const int kImageSize = 16;
const int kPaddingX = 15;
const int kPaddingY = 5;

HIMAGELIST CreateImages(const ToolButton *buttons, int count, bool disabled)
{
    HIMAGELIST list = ImageList_Create(kImageSize, kImageSize, ILC_COLOR32 | ILC_MASK, 0, 10);
    if (list == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        HICON icon = (HICON)LoadIconResource(disabled ? buttons[i].DisabledIcon : buttons[i].Icon);
        ImageList_AddIcon(list, icon);
    }
    return list;
}

}  // namespace

bool ToolBar::Create(Dialog &parent, const ToolButton *buttons, int count)
{
    HWND owner = Backend::Window(parent);
    if (owner == nullptr || count <= 0) {
        return false;
    }
    // Flat list style: the text stands right of the image. The bar stays below
    // its siblings and clips them, so the lists it overlaps paint over it.
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | TBSTYLE_FLAT | TBSTYLE_LIST | CCS_TOP |
                  CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER;
    HWND bar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr, style, 0, 0, 0, 0, owner,
                               (HMENU)(INT_PTR)IDC_TOOLBAR, ModuleInstance(), nullptr);
    if (bar == nullptr) {
        return false;
    }
    Backend::Attach(*this, parent, IDC_TOOLBAR, bar);
    SetWindowPos(bar, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageW(bar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(bar, TB_SETPADDING, 0, MAKELPARAM(kPaddingX, kPaddingY));

    HIMAGELIST normal = CreateImages(buttons, count, false);
    HIMAGELIST disabled = CreateImages(buttons, count, true);
    SendMessageW(bar, TB_SETIMAGELIST, 0, (LPARAM)normal);
    SendMessageW(bar, TB_SETDISABLEDIMAGELIST, 0, (LPARAM)disabled);
    SetPropW(bar, kOwnedImageLists, (HANDLE)1);

    // Button i shows image i and its caption; the toolbar copies the texts.
    std::vector<TBBUTTON> items((size_t)count);
    for (int i = 0; i < count; ++i) {
        TBBUTTON &item = items[(size_t)i];
        item = TBBUTTON();
        item.iBitmap = i;
        item.idCommand = (int)buttons[i].Command;
        item.fsState = TBSTATE_ENABLED;
        item.fsStyle = BTNS_BUTTON;
        item.iString = (INT_PTR)buttons[i].Caption;
    }
    SendMessageW(bar, TB_ADDBUTTONSW, (WPARAM)count, (LPARAM)items.data());
    MoveWindow(bar, 0, 0, 1000, 100, TRUE);

    // Every button takes the size that button 0 got from its image, text and
    // padding; the images are laid out as 16 x 15.
    RECT first = {};
    if (SendMessageW(bar, TB_GETITEMRECT, 0, (LPARAM)&first)) {
        SendMessageW(bar, TB_SETBUTTONSIZE, 0, MAKELPARAM(first.right - first.left, first.bottom - first.top));
    }
    SendMessageW(bar, TB_SETBITMAPSIZE, 0, MAKELPARAM(kImageSize, 15));
    return true;
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
