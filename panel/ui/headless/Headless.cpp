// Headless backend of the dialog layer: every window is a DialogState record
// and every control a ControlState inside it.
#include "panel/ui/headless/Headless.h"

#include "panel/Resource.h"

namespace ui {

// Access to the layer's private handles for this backend.
struct Backend {
    static headless::DialogState *StateOf(const Dialog &dialog)
    {
        return static_cast<headless::DialogState *>(dialog.m_native);
    }
    static void SetState(Dialog &dialog, headless::DialogState *state) { dialog.m_native = state; }
    static headless::ControlState *StateOf(const Control &control)
    {
        return static_cast<headless::ControlState *>(control.m_native);
    }
    static void Attach(Control &control, Dialog &dialog, int id, headless::ControlState *state)
    {
        control.m_dialog = &dialog;
        control.m_id = id;
        control.m_native = state;
    }
    static headless::ToolTipState *StateOf(const ToolTip &tip)
    {
        return static_cast<headless::ToolTipState *>(tip.m_native);
    }
    static void Attach(ToolTip &tip, Dialog &dialog, headless::ToolTipState *state)
    {
        tip.m_dialog = &dialog;
        tip.m_native = state;
    }
    static headless::ImageListState *StateOf(const ImageList &list)
    {
        return static_cast<headless::ImageListState *>(list.m_native);
    }
    static void SetState(ImageList &list, headless::ImageListState *state) { list.m_native = state; }
};

namespace headless {
namespace {

struct TemplateControl {
    int Id;
    Kind Type;
    bool Enabled;
    const WCHAR *InitialText;
};

// The controls of each dialog template, as the resource script lays them out.
std::vector<TemplateControl> TemplateOf(int templateId)
{
    switch (templateId) {
    case IDD_CACHE_DIALOG:
        return {{IDC_VOLUME_LIST, Kind::ListCtrl, true, L""},
                {IDC_DETAIL_LIST, Kind::ListCtrl, true, L""},
                {IDC_DRIVER_VERSION, Kind::Static, true, L"驱动版本:20111111"}};
    case IDD_CONFIG_DIALOG:
        return {{IDOK, Kind::Button, true, L"确定"},
                {IDCANCEL, Kind::Button, true, L"取消"},
                {IDC_DISK_COMBO, Kind::ComboBox, true, L""},
                {IDC_MEM_SIZE, Kind::Edit, true, L""},
                {IDC_SSD_SIZE, Kind::Edit, false, L""},
                {IDC_SSD_ENABLE, Kind::CheckBox, true, L"启用"},
                {IDC_CACHE_FILE, Kind::Edit, false, L""},
                {IDC_BROWSE, Kind::Button, false, L">>"},
                {IDC_SSD_MAX_SIZE, Kind::Edit, false, L""},
                {IDC_SSD_GROW, Kind::CheckBox, false, L"自增长"},
                {IDC_ALLOCATE_BLOCK, Kind::ComboBox, true, L""},
                {IDC_CACHE_BLOCK, Kind::ComboBox, true, L""}};
    case IDD_ABOUTBOX:
        return {{IDOK, Kind::Button, true, L"确定"}};
    default:
        return {};
    }
}

struct MenuItem {
    UINT Command;
    const WCHAR *Caption;
};

// The popups of IDR_VOLUME_MENU, by position.
std::vector<MenuItem> VolumeMenuPopup(int popup)
{
    switch (popup) {
    case VOLUME_MENU_CACHED:
        return {{ID_VOLUME_NEW, L"新建(&N)"}, {ID_VOLUME_STOP, L"停止(&X)"},
                {ID_VOLUME_DELETE, L"删除(&D)"}};
    case VOLUME_MENU_NOT_CACHED:
        return {{ID_VOLUME_NEW, L"新建(&N)"}, {ID_VOLUME_START, L"启动(&S)"},
                {ID_VOLUME_SETTINGS, L"设置(&E)"}, {ID_VOLUME_DELETE, L"删除(&D)"}};
    case VOLUME_MENU_NO_ROW:
        return {{ID_VOLUME_NEW, L"新建(&N)"}};
    default:
        return {};
    }
}

ToolButtonState *FindButton(ControlState *bar, UINT command)
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

}  // namespace

Text ControlState::Cell(int row, int column) const
{
    if (row < 0 || row >= (int)Rows.size() || column < 0 || column >= (int)Rows[row].size()) {
        return Text();
    }
    return Rows[row][column];
}

// --- User ---------------------------------------------------------------------

void User::Reset()
{
    *this = User();
}

void User::ChooseSaveFile(const WCHAR *path)
{
    m_saveFiles.push_back({path != nullptr, Text(path)});
}

void User::ScriptDialog(int templateId, DialogScript script)
{
    m_scripts[templateId].push_back(std::move(script));
}

std::vector<Text> User::MessageTexts() const
{
    std::vector<Text> texts;
    for (const MessageRecord &record : Messages) {
        texts.push_back(record.Message);
    }
    return texts;
}

void User::SetStringResource(int id, const WCHAR *text)
{
    m_strings[id] = Text(text);
}

int User::NextAnswer()
{
    if (m_answers.empty()) {
        return IDNO;
    }
    int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

bool User::NextSaveFile(Text *path)
{
    if (m_saveFiles.empty()) {
        return false;
    }
    auto choice = m_saveFiles.front();
    m_saveFiles.pop_front();
    if (choice.first) {
        *path = choice.second;
    }
    return choice.first;
}

UINT User::NextMenuChoice()
{
    if (m_menuChoices.empty()) {
        return 0;
    }
    UINT choice = m_menuChoices.front();
    m_menuChoices.pop_front();
    return choice;
}

DialogScript User::NextScript(int templateId)
{
    auto found = m_scripts.find(templateId);
    if (found == m_scripts.end() || found->second.empty()) {
        return nullptr;
    }
    DialogScript script = std::move(found->second.front());
    found->second.pop_front();
    return script;
}

bool User::StringOverride(int id, Text *text) const
{
    auto found = m_strings.find(id);
    if (found == m_strings.end()) {
        return false;
    }
    *text = found->second;
    return true;
}

User &TheUser()
{
    static User user;
    return user;
}

// --- Acting on dialogs ----------------------------------------------------------

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
    if (control != nullptr && control->Enabled && index >= -1 &&
        index < (int)control->Items.size()) {
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

void ClickRow(Dialog &dialog, int listId, int row)
{
    ControlState *list = Find(dialog, listId);
    if (list == nullptr) {
        return;
    }
    SelectRow(dialog, list, row);
    LRESULT result = 0;
    dialog.OnNotify(listId, NM_CLICK, &result);
}

void RightClickRow(Dialog &dialog, int listId, int row)
{
    ControlState *list = Find(dialog, listId);
    if (list == nullptr) {
        return;
    }
    SelectRow(dialog, list, row);
    LRESULT result = 0;
    dialog.OnNotify(listId, NM_RCLICK, &result);
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

}  // namespace headless

using headless::ControlState;
using headless::DialogState;
using headless::TheUser;

// --- Controls -------------------------------------------------------------------

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

int ListCtrl::InsertColumn(int column, const WCHAR *heading, int format, int width)
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr || column < 0) {
        return -1;
    }
    if (column > (int)state->Columns.size()) {
        column = (int)state->Columns.size();
    }
    state->Columns.insert(state->Columns.begin() + column, {Text(heading), format, width});
    return column;
}

int ListCtrl::InsertItem(int index, const WCHAR *text)
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr || index < 0) {
        return -1;
    }
    if (index > (int)state->Rows.size()) {
        index = (int)state->Rows.size();
    }
    state->Rows.insert(state->Rows.begin() + index, std::vector<Text>(1, Text(text)));
    if (state->SelectedRow >= index) {
        ++state->SelectedRow;
    }
    return index;
}

bool ListCtrl::SetItemText(int row, int column, const WCHAR *text)
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr || row < 0 || row >= (int)state->Rows.size() || column < 0) {
        return false;
    }
    std::vector<Text> &cells = state->Rows[row];
    if (column >= (int)cells.size()) {
        cells.resize(column + 1);
    }
    cells[column] = text;
    return true;
}

Text ListCtrl::GetItemText(int row, int column) const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? Text() : state->Cell(row, column);
}

bool ListCtrl::DeleteItem(int row)
{
    ControlState *state = Backend::StateOf(*this);
    if (state == nullptr || row < 0 || row >= (int)state->Rows.size()) {
        return false;
    }
    if (state->SelectedRow == row) {
        // As the real control does: the row loses its selected state first,
        // which the parent learns from LVN_ITEMCHANGED while the row is
        // still counted, and only then the row goes.
        state->SelectedRow = -1;
        if (m_dialog != nullptr) {
            LRESULT result = 0;
            m_dialog->OnNotify(m_id, LVN_ITEMCHANGED, &result);
        }
        state = Backend::StateOf(*this);
        if (state == nullptr || row >= (int)state->Rows.size()) {
            return false;
        }
    } else if (state->SelectedRow > row) {
        --state->SelectedRow;
    }
    state->Rows.erase(state->Rows.begin() + row);
    return true;
}

void ListCtrl::DeleteAllItems()
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->Rows.clear();
        state->SelectedRow = -1;
    }
}

int ListCtrl::GetItemCount() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? 0 : (int)state->Rows.size();
}

int ListCtrl::GetFirstSelected() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? -1 : state->SelectedRow;
}

DWORD ListCtrl::GetExtendedStyle() const
{
    ControlState *state = Backend::StateOf(*this);
    return state == nullptr ? 0 : state->ExtendedStyle;
}

void ListCtrl::SetExtendedStyle(DWORD style)
{
    if (ControlState *state = Backend::StateOf(*this)) {
        state->ExtendedStyle = style;
    }
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

// --- Dialog -----------------------------------------------------------------------

Dialog::~Dialog()
{
    DialogState *state = Backend::StateOf(*this);
    if (state != nullptr) {
        Backend::SetState(*this, nullptr);
        delete state;
    }
}

INT_PTR Dialog::DoModal()
{
    TheUser().ModalRuns.push_back(m_templateId);
    headless::Open(*this);
    DialogState *state = Backend::StateOf(*this);
    if (!state->Ended) {
        headless::DialogScript script = TheUser().NextScript(m_templateId);
        if (script) {
            script(*this);
        }
        if (!state->Ended) {
            OnCancel();
        }
        if (!state->Ended) {
            EndDialog(IDCANCEL);
        }
    }
    INT_PTR result = state->Result;
    headless::Close(*this);
    return result;
}

void Dialog::EndDialog(INT_PTR result)
{
    if (DialogState *state = Backend::StateOf(*this)) {
        state->Ended = true;
        state->Result = result;
        state->Timers.clear();
    }
}

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
    std::vector<headless::MenuItem> items =
        menuId == IDR_VOLUME_MENU ? headless::VolumeMenuPopup(popup) : std::vector<headless::MenuItem>();
    for (const headless::MenuItem &item : items) {
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
    if (id == IDS_ABOUTBOX) {
        return Text(L"关于 Cache(&A)...");
    }
    return Text();
}

}  // namespace ui
