// The headless list control: columns, rows of texts and one selected row.
#include "panel/ui/headless/Backend.h"

namespace ui {

using headless::ControlState;

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

}  // namespace ui
