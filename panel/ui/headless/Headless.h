// The headless backend of the dialog layer: windows are in-memory records,
// and a simulated user (ui::headless::TheUser()) answers message boxes,
// chooses menu items and files, and plays scripted parts in modal dialogs.
//
// Tests and the demo use it in two ways:
//  - Open(dialog) creates a dialog's controls and runs OnInitDialog without a
//    modal loop, so that the test can act on the open window step by step
//    (ClickRow, Command, FireTimer ...) and inspect its controls (Find).
//  - A dialog run with DoModal (the settings dialog inside a command, the
//    About box) plays the next script queued for its template with
//    ScriptDialog; a script fills in fields and presses OK or Cancel with
//    SetText / ClickButton / SelectCombo. A modal dialog that is still open
//    when its script returns (or that has no script) is closed by the user
//    with Cancel.
#pragma once

#include "panel/ui/Controls.h"

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace ui::headless {

enum class Kind { Static, Edit, Button, CheckBox, ComboBox, ListCtrl, ToolBar };

struct Column {
    Text Heading;
    int Format;
    int Width;
};

struct ToolButtonState {
    UINT Command = 0;
    UINT Style = 0;
    int Image = -1;
    Text Caption;
    bool Enabled = true;
};

// An image list: its geometry and the icons added, in order.
struct ImageListState {
    int Width = 0;
    int Height = 0;
    UINT Flags = 0;
    int Initial = 0;
    int Grow = 0;
    std::vector<IconHandle> Images;
};

// One control of an open dialog.
struct ControlState {
    int Id = 0;
    Kind Type = Kind::Static;
    bool Enabled = true;
    bool Visible = true;
    Text WindowText;
    int Check = BST_UNCHECKED;
    // Combo box entries and selection.
    std::vector<Text> Items;
    int CurSel = -1;
    // List control: columns, rows of texts (one per column), selected row.
    std::vector<Column> Columns;
    std::vector<std::vector<Text>> Rows;
    int SelectedRow = -1;
    DWORD ExtendedStyle = 0;
    // Toolbar: buttons, placement, padding, sizes and the image lists given
    // to it (owned by the dialog).
    std::vector<ToolButtonState> Buttons;
    RECT Placement = {0, 0, 0, 0};
    SIZE Padding = {0, 0};
    SIZE ButtonSize = {0, 0};
    SIZE ImageSize = {0, 0};
    const ImageListState *Images = nullptr;
    const ImageListState *DisabledImages = nullptr;

    Text Cell(int row, int column) const;
};

struct ToolState {
    int ControlId;
    UINT ToolId;  // 0 for a whole-control tool
    Text Tip;
};

struct ToolTipState {
    bool Created = false;
    COLORREF Background = 0;
    COLORREF Foreground = 0;
    std::vector<ToolState> Tools;
    UINT Delay = 0;
    bool Active = false;
    size_t Relayed = 0;
};

struct SystemMenuItem {
    UINT Command;
    Text Caption;
};

// The in-memory window of one open dialog.
struct DialogState {
    Dialog *Owner = nullptr;
    int TemplateId = 0;
    std::map<int, ControlState> Controls;
    bool Ended = false;
    INT_PTR Result = 0;
    std::map<UINT_PTR, UINT> Timers;  // id -> period
    std::vector<SystemMenuItem> SystemMenu;
    IconHandle Icon = nullptr;
    int Focus = 0;
    ToolTipState ToolTip;
};

struct MessageRecord {
    int TemplateId;  // owner dialog's template
    Text Message;
    Text Caption;
    UINT Type;
};

struct MenuRecord {
    int MenuId;
    int Popup;
    std::vector<UINT> Commands;  // the items offered, top to bottom
    std::vector<Text> Captions;
    UINT Chosen;  // 0: dismissed
};

using DialogScript = std::function<void(Dialog &)>;

// The simulated user and the log of what the panel showed.
class User {
public:
    void Reset();

    // Answers, consumed in order. A Yes/No question without a queued answer
    // is answered No; a save dialog without one is cancelled; a menu without
    // one is dismissed.
    void AnswerQuestion(int answer) { m_answers.push_back(answer); }
    void ChooseSaveFile(const WCHAR *path);  // nullptr: cancel
    void ChooseMenuItem(UINT command) { m_menuChoices.push_back(command); }
    void ScriptDialog(int templateId, DialogScript script);

    // What happened.
    std::vector<MessageRecord> Messages;
    std::vector<MenuRecord> Menus;
    int SaveDialogs = 0;
    std::vector<int> ModalRuns;  // template ids, in order
    DWORD CommonControlClasses = 0;

    // Message texts only, in order (convenience for tests).
    std::vector<Text> MessageTexts() const;
    // Overrides a string resource (e.g. an empty IDS_ABOUTBOX).
    void SetStringResource(int id, const WCHAR *text);

    // Internal: used by the backend.
    int NextAnswer();
    bool NextSaveFile(Text *path);
    UINT NextMenuChoice();
    DialogScript NextScript(int templateId);
    bool StringOverride(int id, Text *text) const;

private:
    std::deque<int> m_answers;
    std::deque<std::pair<bool, Text>> m_saveFiles;
    std::deque<UINT> m_menuChoices;
    std::map<int, std::deque<DialogScript>> m_scripts;
    std::map<int, Text> m_strings;
};

User &TheUser();

// The state behind an image list; null before Create.
const ImageListState *StateOf(const ImageList &list);

// --- Acting on an open dialog -----------------------------------------------
// Creates the dialog's controls from its template and runs OnInitDialog.
// Returns OnInitDialog's result; the dialog may have ended itself already.
BOOL Open(Dialog &dialog);
// Destroys an open dialog (OnDestroy first).
void Close(Dialog &dialog);
DialogState *State(Dialog &dialog);
ControlState *Find(Dialog &dialog, int id);
bool HasEnded(Dialog &dialog);
INT_PTR Result(Dialog &dialog);

// Types into an edit (replacing its text).
void SetText(Dialog &dialog, int id, const WCHAR *text);
// Clicks a button: a check box toggles first; a disabled button does nothing.
// The command reaches OnCommand (IDOK / IDCANCEL included).
void ClickButton(Dialog &dialog, int id);
// Picks an entry of a combo box.
void SelectCombo(Dialog &dialog, int id, int index);
// Left click on a row of a list (row -1: the empty area below the rows): the
// selection changes (LVN_ITEMCHANGED when it did), then NM_CLICK.
void ClickRow(Dialog &dialog, int listId, int row);
// Right click on a row (or -1) of a list: selection as for ClickRow, then
// NM_RCLICK (which may open a context menu).
void RightClickRow(Dialog &dialog, int listId, int row);
// Clicks a toolbar button; nothing happens when the button is disabled.
void ClickToolButton(Dialog &dialog, UINT command);
bool ToolButtonEnabled(Dialog &dialog, UINT command);
// Sends a command as the menus and accelerators would (no enabled check).
void Command(Dialog &dialog, UINT id);
// One tick of a running timer (nothing when the timer is not set).
void FireTimer(Dialog &dialog, UINT_PTR id);

}  // namespace ui::headless
