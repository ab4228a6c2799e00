// The main window's volume list.
#include "panel/VolumeList.h"

#include "panel/ConfigFile.h"
#include "panel/ListColumns.h"
#include "panel/ControlRequest.h"
#include "panel/DriverClient.h"
#include "panel/Messages.h"
#include "panel/StatisticsFormat.h"
#include "panel/VolumeLabel.h"

#include <string.h>

namespace {

const ListColumn kVolumeColumns[] = {
    {L"卷", LVCFMT_LEFT, 100},
    {L"卷大小 GB", LVCFMT_CENTER, 80},
    {L"命中率", LVCFMT_CENTER, 90},
    {L"内存(已用/总共) MB", LVCFMT_CENTER, 140},
    {L"SSD(已用/总共) MB", LVCFMT_CENTER, 140},
};

void SetRowTexts(ui::ListCtrl &list, int row, const VolumeRowTexts &texts)
{
    for (int column = 1; column < 5; ++column) {
        list.SetItemText(row, column, texts.Column[column]);
    }
}

}  // namespace

void CVolumeList::SetUpColumns()
{
    InsertColumns(m_list, kVolumeColumns);
    m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
}

void CVolumeList::Fill(const WCHAR *configPath, ui::Dialog &owner)
{
    m_list.DeleteAllItems();
    DWORD drives = GetLogicalDrives();
    for (WCHAR letter = L'C'; letter <= L'Z'; ++letter) {
        if (!DrivePresent(drives, letter)) {
            continue;
        }
        WCHAR label[VOLUME_LABEL_CHARS];
        if (!BuildEligibleVolumeLabel(letter, label)) {
            continue;
        }
        CacheStatistics statistics;
        if (QueryVolumeStatistics(letter, &statistics)) {
            Add(letter, label);
            continue;
        }
        VolumeSettings settings;
        memset(&settings, 0, sizeof(settings));
        if (!ReadVolumeSettings(letter, &settings, configPath)) {
            continue;
        }
        VolumeRowTexts texts;
        FormatConfiguredRow(settings, &texts);
        int row = m_list.InsertItem(m_list.GetItemCount(), settings.VolumeName);
        SetRowTexts(m_list, row, texts);
        if (settings.Started && !SendStartRequest(settings, letter)) {
            owner.MessageBox(TEXT_START_FAILED, PANEL_CAPTION, STYLE_FAILURE);
        }
    }
}

void CVolumeList::Add(WCHAR driveLetter, const WCHAR *label)
{
    int row = m_list.InsertItem(m_list.GetItemCount(), label);
    UpdateRow(driveLetter, row);
}

void CVolumeList::Refresh()
{
    for (int row = 0; row < m_list.GetItemCount(); ++row) {
        Text label = m_list.GetItemText(row, 0);
        if (label.IsEmpty()) {
            continue;
        }
        UpdateRow(label[0], row);
    }
}

void CVolumeList::UpdateRow(WCHAR driveLetter, int row)
{
    CacheStatistics statistics;
    if (!QueryVolumeStatistics(driveLetter, &statistics)) {
        return;
    }
    VolumeRowTexts texts;
    FormatVolumeRow(L"", statistics, &texts);
    SetRowTexts(m_list, row, texts);
}

void CVolumeList::Delete(int row)
{
    m_list.DeleteItem(row);
}

bool CVolumeList::Selected(WCHAR *driveLetter, int *row) const
{
    int selected = m_list.GetFirstSelected();
    if (selected < 0) {
        return false;
    }
    *driveLetter = m_list.GetItemText(selected, 0)[0];
    if (row != nullptr) {
        *row = selected;
    }
    return true;
}

bool CVolumeList::TopLetter(WCHAR *driveLetter) const
{
    if (m_list.GetItemCount() == 0) {
        return false;
    }
    *driveLetter = m_list.GetItemText(0, 0)[0];
    return true;
}
