// The headless tooltip: the tools added to it and its settings.
#include "panel/ui/headless/Backend.h"

namespace ui {

using headless::DialogState;

bool ToolTip::Create(Dialog &parent)
{
    DialogState *dialog = Backend::StateOf(parent);
    if (dialog == nullptr) {
        return false;
    }
    dialog->ToolTip = headless::ToolTipState();
    dialog->ToolTip.Created = true;
    Backend::Attach(*this, parent, &dialog->ToolTip);
    return true;
}

void ToolTip::SetColors(COLORREF background, COLORREF text)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        state->Background = background;
        state->Foreground = text;
    }
}

void ToolTip::AddTool(const Control &control, const WCHAR *text)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        state->Tools.push_back({control.Id(), 0, Text(text)});
    }
}

void ToolTip::AddTool(const Control &control, UINT toolId, const RECT &, const WCHAR *text)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        state->Tools.push_back({control.Id(), toolId, Text(text)});
    }
}

void ToolTip::SetAutomaticDelay(UINT milliseconds)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        state->Delay = milliseconds;
    }
}

void ToolTip::Activate(bool active)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        state->Active = active;
    }
}

void ToolTip::RelayEvent(const MSG *)
{
    if (headless::ToolTipState *state = Backend::StateOf(*this)) {
        ++state->Relayed;
    }
}

}  // namespace ui
