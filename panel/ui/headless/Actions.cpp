// What a test does to an open headless dialog: opening it from its template,
// clicking, selecting, typing, firing timers, and looking at its controls.
#include "panel/ui/headless/Backend.h"
#include "panel/ui/headless/Resources.h"

#include "panel/Resource.h"

namespace ui::headless {

BOOL Open(Dialog &dialog)
{
    auto *state = new DialogState;
    state->Owner = &dialog;
    state->TemplateId = dialog.TemplateId();
    for (const TemplateControl &control : TemplateOf(dialog.TemplateId())) {
        ControlState &record = state->Controls[control.Id];
        record.Id = control.Id;
        record.Type = control.Type;
        record.Enabled = control.Enabled;
        record.WindowText = control.InitialText;
    }
    Backend::SetState(dialog, state);
    return dialog.OnInitDialog();
}

void Close(Dialog &dialog)
{
    DialogState *state = Backend::StateOf(dialog);
    if (state == nullptr) {
        return;
    }
    dialog.OnDestroy();
    Backend::SetState(dialog, nullptr);
    delete state;
}

const ImageListState *StateOf(const ImageList &list)
{
    return Backend::StateOf(list);
}

DialogState *State(Dialog &dialog)
{
    return Backend::StateOf(dialog);
}

ControlState *Find(Dialog &dialog, int id)
{
    DialogState *state = Backend::StateOf(dialog);
    if (state == nullptr) {
        return nullptr;
    }
    auto found = state->Controls.find(id);
    return found == state->Controls.end() ? nullptr : &found->second;
}

bool HasEnded(Dialog &dialog)
{
    DialogState *state = Backend::StateOf(dialog);
    return state == nullptr || state->Ended;
}

INT_PTR Result(Dialog &dialog)
{
    DialogState *state = Backend::StateOf(dialog);
    return state == nullptr ? 0 : state->Result;
}

void SetText(Dialog &dialog, int id, const WCHAR *text)
{
    if (ControlState *control = Find(dialog, id)) {
        control->WindowText = text;
    }
}

void ClickButton(Dialog &dialog, int id)
{
    ControlState *control = Find(dialog, id);
    if (control == nullptr || !control->Enabled || HasEnded(dialog)) {
        return;
    }
    if (control->Type == Kind::CheckBox) {
        control->Check = control->Check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    }
    dialog.OnCommand((UINT)id);
}

void SelectCombo(Dialog &dialog, int id, int index)
{
    ControlState *control = Find(dialog, id);
    if (control != nullptr && control->Enabled && index >= -1 && index < (int)control->Items.size()) {
        control->CurSel = index;
    }
}

static void SelectRow(Dialog &dialog, ControlState *list, int row)
{
    if (row >= (int)list->Rows.size()) {
        row = -1;
    }
    if (list->SelectedRow != row) {
        list->SelectedRow = row;
        LRESULT result = 0;
        dialog.OnNotify(list->Id, LVN_ITEMCHANGED, &result);
    }
}

// A click on a row selects it, then the list tells its parent of the click.
static void NotifyRowClick(Dialog &dialog, int listId, int row, UINT code)
{
    ControlState *list = Find(dialog, listId);
    if (list == nullptr) {
        return;
    }
    SelectRow(dialog, list, row);
    LRESULT result = 0;
    dialog.OnNotify(listId, code, &result);
}

void ClickRow(Dialog &dialog, int listId, int row)
{
    NotifyRowClick(dialog, listId, row, NM_CLICK);
}

void RightClickRow(Dialog &dialog, int listId, int row)
{
    NotifyRowClick(dialog, listId, row, NM_RCLICK);
}

void ClickToolButton(Dialog &dialog, UINT command)
{
    if (ToolButtonEnabled(dialog, command)) {
        dialog.OnCommand(command);
    }
}

bool ToolButtonEnabled(Dialog &dialog, UINT command)
{
    ToolButtonState *button = FindButton(Find(dialog, IDC_TOOLBAR), command);
    return button != nullptr && button->Enabled;
}

void Command(Dialog &dialog, UINT id)
{
    dialog.OnCommand(id);
}

void FireTimer(Dialog &dialog, UINT_PTR id)
{
    DialogState *state = Backend::StateOf(dialog);
    if (state != nullptr && state->Timers.count(id) != 0) {
        dialog.OnTimer(id);
    }
}

}  // namespace ui::headless
