// The main window's toolbar.
#include "panel/MainToolBar.h"

#include "panel/Resource.h"

namespace {

// The toolbar's buttons, left to right: command, caption, normal and
// disabled icon.
struct ToolButton {
    UINT Command;
    const WCHAR *Caption;
    int Icon;
    int DisabledIcon;
};

const int kToolButtonCount = 6;

const ToolButton kToolButtons[kToolButtonCount] = {
    {ID_VOLUME_NEW, L"添加", IDI_NEW, IDI_NEW_DISABLED},
    {ID_VOLUME_START, L"启动", IDI_START, IDI_START_DISABLED},
    {ID_VOLUME_STOP, L"停止", IDI_STOP, IDI_STOP_DISABLED},
    {ID_VOLUME_DELETE, L"删除", IDI_DELETE, IDI_DELETE_DISABLED},
    {ID_VOLUME_SETTINGS, L"修改", IDI_SETTINGS, IDI_SETTINGS_DISABLED},
    {ID_ABOUT, L"关于", IDI_ABOUT, IDI_ABOUT_DISABLED},
};

struct ButtonTip {
    UINT Command;
    const WCHAR *Tip;
};

const ButtonTip kButtonTips[] = {
    {ID_VOLUME_NEW, L"添加"},    {ID_VOLUME_START, L"启动"},    {ID_VOLUME_STOP, L"停止"},
    {ID_VOLUME_DELETE, L"删除"}, {ID_VOLUME_SETTINGS, L"设置"}, {ID_ABOUT, L"关于"},
};

}  // namespace

void CMainToolBar::Create(ui::Dialog &parent)
{
    m_bar.Create(parent);
    m_bar.SetButtons(kToolButtonCount);
    m_bar.Move(0, 0, 1000, 100);
    m_bar.SetPadding(15, 5);

    m_images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 10);
    for (const ToolButton &button : kToolButtons) {
        m_images.Add(ui::LoadIconResource(button.Icon));
    }
    m_bar.SetImageList(m_images);
    m_disabledImages.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 10);
    for (const ToolButton &button : kToolButtons) {
        m_disabledImages.Add(ui::LoadIconResource(button.DisabledIcon));
    }
    m_bar.SetDisabledImageList(m_disabledImages);

    for (int i = 0; i < kToolButtonCount; ++i) {
        m_bar.SetButtonInfo(i, kToolButtons[i].Command, BTNS_BUTTON, i);
    }
    for (int i = 0; i < kToolButtonCount; ++i) {
        m_bar.SetButtonText(i, kToolButtons[i].Caption);
    }

    // Every button takes the size button 0 got from its image, text and
    // padding; the images are laid out as 16 x 15.
    RECT first = {0, 0, 0, 0};
    m_bar.GetItemRect(0, &first);
    m_bar.SetSizes(SIZE{first.right - first.left, first.bottom - first.top}, SIZE{16, 15});

    ShowNoSelection();
    m_bar.Show(true);
}

void CMainToolBar::AddTips(ui::ToolTip &tips) const
{
    for (const ButtonTip &tip : kButtonTips) {
        RECT rect = {0, 0, 0, 0};
        m_bar.GetButtonRect(tip.Command, &rect);
        tips.AddTool(m_bar, tip.Command, rect, tip.Tip);
    }
}

void CMainToolBar::ShowNoSelection()
{
    m_bar.EnableButton(ID_VOLUME_START, false);
    m_bar.EnableButton(ID_VOLUME_STOP, false);
    m_bar.EnableButton(ID_VOLUME_DELETE, false);
    m_bar.EnableButton(ID_VOLUME_SETTINGS, false);
}

void CMainToolBar::ShowSelection(bool cached)
{
    ShowStarted(cached);
    m_bar.EnableButton(ID_VOLUME_DELETE, true);
}

void CMainToolBar::ShowStarted(bool started)
{
    m_bar.EnableButton(ID_VOLUME_START, !started);
    m_bar.EnableButton(ID_VOLUME_STOP, started);
    m_bar.EnableButton(ID_VOLUME_SETTINGS, !started);
}
