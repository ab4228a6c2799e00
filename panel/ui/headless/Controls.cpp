// Headless controls: the common control calls, buttons and combo boxes.
#include "panel/ui/headless/Backend.h"

namespace ui {

using headless::ControlState;
using headless::DialogState;
using headless::TheUser;

Text headless::ControlState::Cell(int row, int column) const
{
    if (row < 0 || row >= (int)Rows.size() || column < 0 || column >= (int)Rows[row].size()) {
        return Text();
    }
    return Rows[row][column];
}

void Control::Bind(Dialog &dialog, int id)
{
    Backend::Attach(*this, dialog, id, headless::Find(dialog, id));
}

void Control::Enable(bool enable)
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->Enabled = enable;
    }
}

bool Control::IsEnabled() const
{
    ControlState *state = Backend::StateOf(*this);
    return state != nullptr && state->Enabled;
}

void Control::SetText(const WCHAR *text)
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->WindowText = text;
    }
}

Text Control::GetText() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? Text() : state->WindowText;
}

void Control::SetFocus()
{
    if (m_dialog != nullptr && m_native != nullptr) {
        m_dialog->FocusControl(m_id);
    }
}

void Control::Show(bool show)
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->Visible = show;
    }
}

int Button::GetCheck() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? BST_UNCHECKED : state->Check;
}

void Button::SetCheck(int check)
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->Check = check;
    }
}

int ComboBox::AddString(const WCHAR *text)
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr) {
        return -1;
    }
    state->Items.push_back(Text(text));
    return (int)state->Items.size() - 1;
}

void ComboBox::ResetContent()
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->Items.clear();
        state->CurSel = -1;
    }
}

int ComboBox::GetCount() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? 0 : (int)state->Items.size();
}

int ComboBox::GetCurSel() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? -1 : state->CurSel;
}

void ComboBox::SetCurSel(int index)
{
    ControlState *state = Backend::StateOf(*this);
    if (state != nullptr) {
        state->CurSel = (index >= 0 && index < (int)state->Items.size()) ? index : -1;
    }
}

Text ComboBox::GetLBText(int index) const
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr || index < 0 || index >= (int)state->Items.size()) {
        return Text();
    }
    return state->Items[index];
}

}  // namespace ui
