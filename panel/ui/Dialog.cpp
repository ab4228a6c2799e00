// The window-independent part of the dialog layer: data exchange and the
// default handlers. Both backends (win32/, headless/) share it.
#include "panel/ui/Controls.h"

namespace ui {

namespace {

// The message the exchange shows for a number field it refuses.
const WCHAR kNumberRefused[] = L"请输入一个正整数。";
const WCHAR kExchangeCaption[] = L"Oruvel无盘缓存系统";

}  // namespace

void DataExchange::Fail(int id, const WCHAR *message)
{
    m_failed = true;
    m_dialog.MessageBox(message, kExchangeCaption, MB_OK | MB_ICONEXCLAMATION);
    m_dialog.FocusControl(id);
}

void DataExchange::Bind(int id, Control &control)
{
    if (m_failed) {
        return;
    }
    if (!control.IsBound()) {
        control.Bind(m_dialog, id);
    }
}

void DataExchange::TextField(int id, ::Text &value)
{
    if (m_failed) {
        return;
    }
    Control field;
    field.Bind(m_dialog, id);
    if (m_saving) {
        value = field.GetText();
    } else {
        field.SetText(value);
    }
}

void DataExchange::NumberField(int id, UINT &value)
{
    if (m_failed) {
        return;
    }
    Control field;
    field.Bind(m_dialog, id);
    if (m_saving) {
        uint32_t parsed = 0;
        if (!ParseUnsigned(field.GetText(), &parsed)) {
            Fail(id, kNumberRefused);
            return;
        }
        value = parsed;
    } else {
        WCHAR text[16];
        FormatText(text, 16, L"%u", (unsigned)value);
        field.SetText(text);
    }
}

void DataExchange::CheckBox(int id, BOOL &value)
{
    if (m_failed) {
        return;
    }
    Button box;
    box.Bind(m_dialog, id);
    if (m_saving) {
        value = box.GetCheck() == BST_CHECKED ? TRUE : FALSE;
    } else {
        box.SetCheck(value ? BST_CHECKED : BST_UNCHECKED);
    }
}

void DataExchange::ComboText(int id, ::Text &value)
{
    if (m_failed) {
        return;
    }
    ComboBox combo;
    combo.Bind(m_dialog, id);
    if (m_saving) {
        int selected = combo.GetCurSel();
        value = selected < 0 ? ::Text() : combo.GetLBText(selected);
    }
}

void DataExchange::ComboIndex(int id, int &value)
{
    if (m_failed) {
        return;
    }
    ComboBox combo;
    combo.Bind(m_dialog, id);
    if (m_saving) {
        value = combo.GetCurSel();
    } else {
        combo.SetCurSel(value);
    }
}

bool Dialog::UpdateData(bool saveAndValidate)
{
    DataExchange dx(*this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

BOOL Dialog::OnInitDialog()
{
    UpdateData(false);
    return TRUE;
}

void Dialog::DoDataExchange(DataExchange *) {}

bool Dialog::OnCommand(UINT id)
{
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

bool Dialog::OnNotify(int, UINT, LRESULT *)
{
    return false;
}

void Dialog::OnTimer(UINT_PTR) {}

bool Dialog::OnSysCommand(UINT)
{
    return false;
}

bool Dialog::OnPaint()
{
    return false;
}

IconHandle Dialog::OnQueryDragIcon()
{
    return nullptr;
}

void Dialog::OnDestroy() {}

bool Dialog::PreTranslateMessage(const MSG *)
{
    return false;
}

void Dialog::OnOK()
{
    if (!UpdateData(true)) {
        return;
    }
    EndDialog(IDOK);
}

void Dialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

}  // namespace ui
