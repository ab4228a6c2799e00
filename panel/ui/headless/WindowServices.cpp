// Services of a headless dialog window (message boxes, the save-file dialog,
// context and system menus, timers, icons, focus) and the application-level
// services of the layer (common controls, icon and string resources).
#include "panel/ui/headless/Backend.h"
#include "panel/ui/headless/Resources.h"

namespace ui {

using headless::DialogState;
using headless::TheUser;

int Dialog::MessageBox(const WCHAR *text, const WCHAR *caption, UINT type)
{
    TheUser().Messages.push_back({m_templateId, Text(text), Text(caption), type});
    if ((type & 0xF) == MB_YESNO) {
        return TheUser().NextAnswer();
    }
    return IDOK;
}

bool Dialog::ChooseSaveFile(::Text &path)
{
    ++TheUser().SaveDialogs;
    return TheUser().NextSaveFile(&path);
}

void Dialog::TrackContextMenu(int menuId, int popup)
{
    headless::MenuRecord record{menuId, popup, {}, {}, 0};
    for (const headless::MenuItem &item : headless::MenuPopup(menuId, popup)) {
        record.Commands.push_back(item.Command);
        record.Captions.push_back(Text(item.Caption));
    }
    UINT choice = TheUser().NextMenuChoice();
    bool offered = false;
    for (UINT command : record.Commands) {
        offered = offered || command == choice;
    }
    record.Chosen = offered ? choice : 0;
    TheUser().Menus.push_back(record);
    // The menu has closed; the chosen item arrives as a command.
    if (record.Chosen != 0) {
        OnCommand(record.Chosen);
    }
}

void Dialog::SetTimer(UINT_PTR id, UINT milliseconds)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Timers[id] = milliseconds;
    }
}

void Dialog::KillTimer(UINT_PTR id)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Timers.erase(id);
    }
}

void Dialog::SetIcon(IconHandle icon)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Icon = icon;
    }
}

bool Dialog::AppendSystemMenuItem(UINT command, const WCHAR *text)
{
    DialogState *state = Backend::StateOf(*this);
    if (state == nullptr) {
        return false;
    }
    state->SystemMenu.push_back({command, Text(text)});
    return true;
}

bool Dialog::PaintIconIfMinimised(IconHandle)
{
    return false;
}

void Dialog::FocusControl(int id)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Focus = id;
    }
}

// --- Application services -----------------------------------------------------------

void InitCommonControls(DWORD classes)
{
    TheUser().CommonControlClasses = classes;
}

IconHandle LoadIconResource(int id)
{
    // A distinct non-null token per icon id.
    return reinterpret_cast<IconHandle>((uintptr_t)id << 4);
}

Text LoadStringResource(int id)
{
    Text text;
    if (TheUser().StringOverride(id, &text)) {
        return text;
    }
    const WCHAR *resource = headless::StringResource(id);
    return resource != nullptr ? Text(resource) : Text();
}

}  // namespace ui
