// The headless image list and toolbar.
#include "panel/ui/headless/Backend.h"

#include "panel/Resource.h"

namespace ui {

using headless::ControlState;
using headless::DialogState;

headless::ToolButtonState *headless::FindButton(ControlState *bar, UINT command)
{
    if (bar == nullptr) {
        return nullptr;
    }
    for (ToolButtonState &button : bar->Buttons) {
        if (button.Command == command) {
            return &button;
        }
    }
    return nullptr;
}

ImageList::~ImageList()
{
    delete Backend::StateOf(*this);
}

bool ImageList::Create(int width, int height, UINT flags, int initial, int grow)
{
    delete Backend::StateOf(*this);
    auto *state = new headless::ImageListState;
    state->Width = width;
    state->Height = height;
    state->Flags = flags;
    state->Initial = initial;
    state->Grow = grow;
    Backend::SetState(*this, state);
    return true;
}

int ImageList::Add(IconHandle icon)
{
    headless::ImageListState *state = Backend::StateOf(*this);
    if (state == nullptr || icon == nullptr) {
        return -1;
    }
    state->Images.push_back(icon);
    return (int)state->Images.size() - 1;
}

int ImageList::GetImageCount() const
{
    headless::ImageListState *state = Backend::StateOf(*this);
    return state == nullptr ? 0 : (int)state->Images.size();
}

bool ToolBar::Create(Dialog &parent)
{
    DialogState *dialog = Backend::StateOf(parent);
    if (dialog == nullptr) {
        return false;
    }
    ControlState &bar = dialog->Controls[IDC_TOOLBAR];
    bar = ControlState();
    bar.Id = IDC_TOOLBAR;
    bar.Type = headless::Kind::ToolBar;
    bar.Visible = false;
    Backend::Attach(*this, parent, IDC_TOOLBAR, &bar);
    return true;
}

bool ToolBar::SetButtons(int count)
{
    ControlState *bar = Backend::StateOf(*this);
    if (bar == nullptr || count < 0) {
        return false;
    }
    bar->Buttons.assign((size_t)count, headless::ToolButtonState());
    return true;
}

void ToolBar::Move(int x, int y, int width, int height)
{
    if (ControlState *bar = Backend::StateOf(*this)) {
        bar->Placement = RECT{x, y, x + width, y + height};
    }
}

void ToolBar::SetPadding(int horizontal, int vertical)
{
    if (ControlState *bar = Backend::StateOf(*this)) {
        bar->Padding = SIZE{horizontal, vertical};
    }
}

void ToolBar::SetImageList(ImageList &images)
{
    if (ControlState *bar = Backend::StateOf(*this)) {
        bar->Images = Backend::StateOf(images);
    }
}

void ToolBar::SetDisabledImageList(ImageList &images)
{
    if (ControlState *bar = Backend::StateOf(*this)) {
        bar->DisabledImages = Backend::StateOf(images);
    }
}

void ToolBar::SetButtonInfo(int index, UINT command, UINT style, int image)
{
    ControlState *bar = Backend::StateOf(*this);
    if (bar == nullptr || index < 0 || index >= (int)bar->Buttons.size()) {
        return;
    }
    headless::ToolButtonState &button = bar->Buttons[(size_t)index];
    button.Command = command;
    button.Style = style;
    button.Image = image;
}

void ToolBar::SetButtonText(int index, const WCHAR *text)
{
    ControlState *bar = Backend::StateOf(*this);
    if (bar != nullptr && index >= 0 && index < (int)bar->Buttons.size()) {
        bar->Buttons[(size_t)index].Caption = text;
    }
}

bool ToolBar::GetItemRect(int index, RECT *rect) const
{
    ControlState *bar = Backend::StateOf(*this);
    if (bar == nullptr || index < 0 || index >= (int)bar->Buttons.size()) {
        return false;
    }
    // A fixed layout: 80 x 24 pixel buttons side by side.
    *rect = RECT{(LONG)(index * 80), 0, (LONG)(index * 80 + 80), 24};
    return true;
}

void ToolBar::SetSizes(SIZE button, SIZE image)
{
    if (ControlState *bar = Backend::StateOf(*this)) {
        bar->ButtonSize = button;
        bar->ImageSize = image;
    }
}

void ToolBar::EnableButton(UINT command, bool enable)
{
    if (headless::ToolButtonState *button = headless::FindButton(Backend::StateOf(*this), command)) {
        button->Enabled = enable;
    }
}

bool ToolBar::IsButtonEnabled(UINT command) const
{
    headless::ToolButtonState *button = headless::FindButton(Backend::StateOf(*this), command);
    return button != nullptr && button->Enabled;
}

bool ToolBar::GetButtonRect(UINT command, RECT *rect) const
{
    ControlState *bar = Backend::StateOf(*this);
    if (bar == nullptr) {
        return false;
    }
    for (size_t i = 0; i < bar->Buttons.size(); ++i) {
        if (bar->Buttons[i].Command == command) {
            return GetItemRect((int)i, rect);
        }
    }
    return false;
}

int ToolBar::ButtonCount() const
{
    ControlState *bar = Backend::StateOf(*this);
    return bar == nullptr ? 0 : (int)bar->Buttons.size();
}

}  // namespace ui
