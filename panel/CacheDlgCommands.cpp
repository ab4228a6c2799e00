// The five volume commands of the main window. The settings file changes
// only after the driver accepted a start or a stop (Delete and Settings
// excepted).
#include "panel/CacheDlg.h"

#include "panel/ConfigDlg.h"
#include "panel/DriverClient.h"
#include "panel/Messages.h"

#include <string.h>

void CCacheDlg::OnVolumeNew()
{
    CConfigDlg dialog;
    dialog.m_editMode = false;
    if (dialog.DoModal() != IDOK) {
        return;
    }
    WCHAR letter = dialog.m_volumeLabel[0];
    bool started = SendControlRequest(
        dialog.m_cacheFile, dialog.m_ssdEnabled, letter, TRUE, (ULONGLONG)dialog.m_memSize << 20,
        (ULONGLONG)dialog.m_ssdSize << 20, AllocateBlockSizeTable[dialog.m_allocateBlockIndex],
        CacheBlockSizeTable[dialog.m_cacheBlockIndex], dialog.m_ssdGrow,
        (ULONGLONG)dialog.m_ssdMaxSize << 20);
    if (!started) {
        Fail(TEXT_ADD_FAILED);
        return;
    }
    int row = m_volumeList.InsertItem(m_volumeList.GetItemCount(), dialog.m_volumeLabel);
    UpdateVolumeRow(letter, row);
    VolumeSettings settings = dialog.ResultSettings(1);
    WriteVolumeSettings(&settings, m_configPath);
}

void CCacheDlg::OnVolumeStart()
{
    WCHAR letter = 0;
    if (!SelectedVolume(&letter, nullptr)) {
        return;
    }
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    if (!ReadVolumeSettings(letter, &settings, m_configPath)) {
        Fail(TEXT_SETTINGS_MISSING);
        return;
    }
    if (!SendStartRequest(BuildStartRequest(settings, letter))) {
        Fail(TEXT_START_FAILED);
        return;
    }
    MessageBox(TEXT_START_SUCCEEDED, PANEL_CAPTION, STYLE_SUCCESS);
    m_toolBar.EnableButton(ID_VOLUME_START, false);
    m_toolBar.EnableButton(ID_VOLUME_STOP, true);
    m_toolBar.EnableButton(ID_VOLUME_SETTINGS, false);
    settings.Started = 1;
    WriteVolumeSettings(&settings, m_configPath);
}

void CCacheDlg::OnVolumeStop()
{
    WCHAR letter = 0;
    if (!SelectedVolume(&letter, nullptr)) {
        return;
    }
    if (!SendControlRequest(nullptr, FALSE, letter, FALSE, 0, 0, 0, 0, FALSE, 0)) {
        Fail(TEXT_STOP_FAILED);
        return;
    }
    MessageBox(TEXT_STOP_SUCCEEDED, PANEL_CAPTION, STYLE_SUCCESS);
    m_toolBar.EnableButton(ID_VOLUME_START, true);
    m_toolBar.EnableButton(ID_VOLUME_STOP, false);
    m_toolBar.EnableButton(ID_VOLUME_SETTINGS, true);
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    if (!ReadVolumeSettings(letter, &settings, m_configPath)) {
        Fail(TEXT_SETTINGS_MISSING);
        return;
    }
    settings.Started = 0;
    WriteVolumeSettings(&settings, m_configPath);
}

void CCacheDlg::OnVolumeDelete()
{
    WCHAR letter = 0;
    int row = -1;
    if (!SelectedVolume(&letter, &row)) {
        return;
    }
    // A volume that is not cached refuses the stop; that is fine here.
    SendControlRequest(nullptr, FALSE, letter, FALSE, 0, 0, 0, 0, FALSE, 0);
    m_volumeList.DeleteItem(row);
    DeleteVolumeSettings(letter, m_configPath);
    if (m_volumeList.GetItemCount() > 0) {
        m_selectedLetter = m_volumeList.GetItemText(0, 0)[0];
    }
}

void CCacheDlg::OnVolumeSettings()
{
    WCHAR letter = 0;
    if (!SelectedVolume(&letter, nullptr)) {
        return;
    }
    CConfigDlg dialog;
    if (!ReadVolumeSettings(letter, &dialog.m_settings, m_configPath)) {
        Fail(TEXT_SETTINGS_ERROR);
        return;
    }
    dialog.m_editMode = true;
    dialog.m_editLetter = letter;
    if (dialog.DoModal() != IDOK) {
        return;
    }
    VolumeSettings settings = dialog.ResultSettings(dialog.m_settings.Started);
    WriteVolumeSettings(&settings, m_configPath);
    FillVolumeList();
}
