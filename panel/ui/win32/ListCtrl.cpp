// Win32 report-view list control (SysListView32) of the dialog layer.
#include "panel/ui/win32/Backend.h"

#include <vector>

namespace ui {

namespace {

LRESULT Send(const Control &control, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageW(Backend::Window(control), message, wParam, lParam);
}

}  // namespace

int ListCtrl::InsertColumn(int column, const WCHAR *heading, int format, int width)
{
    if (m_native == nullptr) {
        return -1;
    }
    LVCOLUMNW col = {};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = format;
    col.cx = width;
    col.pszText = const_cast<WCHAR *>(heading);
    col.iSubItem = column;
    return (int)Send(*this, LVM_INSERTCOLUMNW, (WPARAM)column, (LPARAM)&col);
}

int ListCtrl::InsertItem(int index, const WCHAR *text)
{
    if (m_native == nullptr) {
        return -1;
    }
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<WCHAR *>(text);
    return (int)Send(*this, LVM_INSERTITEMW, 0, (LPARAM)&item);
}

bool ListCtrl::SetItemText(int row, int column, const WCHAR *text)
{
    if (m_native == nullptr) {
        return false;
    }
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<WCHAR *>(text);
    return Send(*this, LVM_SETITEMTEXTW, (WPARAM)row, (LPARAM)&item) != 0;
}

Text ListCtrl::GetItemText(int row, int column) const
{
    if (m_native == nullptr || row < 0 || row >= GetItemCount()) {
        return Text();
    }
    // The control copies at most the buffer less one; grow until it fits.
    std::vector<WCHAR> buffer(128, 0);
    for (;;) {
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = buffer.data();
        item.cchTextMax = (int)buffer.size();
        LRESULT copied = Send(*this, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
        if (copied < (LRESULT)buffer.size() - 1) {
            buffer[(size_t)(copied > 0 ? copied : 0)] = 0;
            return Text(buffer.data());
        }
        buffer.assign(buffer.size() * 2, 0);
    }
}

bool ListCtrl::DeleteItem(int row)
{
    return m_native != nullptr && Send(*this, LVM_DELETEITEM, (WPARAM)row, 0) != 0;
}

void ListCtrl::DeleteAllItems()
{
    if (m_native != nullptr) {
        Send(*this, LVM_DELETEALLITEMS, 0, 0);
    }
}

int ListCtrl::GetItemCount() const
{
    return m_native != nullptr ? (int)Send(*this, LVM_GETITEMCOUNT, 0, 0) : 0;
}

int ListCtrl::GetFirstSelected() const
{
    if (m_native == nullptr) {
        return -1;
    }
    return (int)Send(*this, LVM_GETNEXTITEM, (WPARAM)-1, MAKELPARAM(LVNI_SELECTED, 0));
}

DWORD ListCtrl::GetExtendedStyle() const
{
    return m_native != nullptr ? (DWORD)Send(*this, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) : 0;
}

void ListCtrl::SetExtendedStyle(DWORD style)
{
    if (m_native != nullptr) {
        // Mask 0: every extended style bit takes the given value.
        Send(*this, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, (LPARAM)style);
    }
}

}  // namespace ui
