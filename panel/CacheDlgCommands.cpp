// The five volume commands of the main window. The settings file changes
// only after the driver accepted a start or a stop (Delete and Settings
// excepted). A write to cache.ini that fails is reported with the settings
// file's message; New and Start then take their start back, so that the
// driver and the file stay in step.
#include "panel/CacheDlg.h"

#include "panel/ConfigDlg.h"
#include "panel/ControlRequest.h"
#include "panel/DriverClient.h"
#include "panel/Messages.h"

#include <string.h>

bool CCacheDlg::StoreSettings(const VolumeSettings &settings)
{
    // Without a path (no room for it beside the executable, told at
    // start-up) the panel runs without a settings file.
    return m_configPath[0] == 0 || WriteVolumeSettings(&settings, m_configPath);
}

bool CCacheDlg::RemoveSettings(WCHAR driveLetter)
{
    return m_configPath[0] == 0 || DeleteVolumeSettings(driveLetter, m_configPath);
}

bool CCacheDlg::SendStop(WCHAR driveLetter)
{
    return SendControlRequest(BuildStopRequest(driveLetter));
}

void CCacheDlg::OnVolumeNew()
{
    CConfigDlg dialog;
    dialog.m_editMode = false;
    if (dialog.DoModal() != IDOK) {
        return;
    }
    WCHAR letter = dialog.m_volumeLabel[0];
    VolumeSettings settings = dialog.ResultSettings(1);
    if (!SendStartRequest(settings, letter)) {
        Fail(TEXT_ADD_FAILED);
        return;
    }
    bool stored = StoreSettings(settings);
    if (!stored) {
        // A volume that is not remembered would be lost at the next launch
        // and every later command would miss its settings: take the start
        // back and remove whatever part of the section got written.
        RemoveSettings(letter);
        Fail(TEXT_SETTINGS_ERROR);
        if (SendStop(letter)) {
            return;
        }
        // The driver keeps the volume: list it as the rebuild would.
    }
    m_volumeList.Add(letter, dialog.m_volumeLabel);
}

void CCacheDlg::OnVolumeStart()
{
    WCHAR letter = 0;
    if (!m_volumeList.Selected(&letter, nullptr)) {
        return;
    }
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    if (!ReadVolumeSettings(letter, &settings, m_configPath)) {
        Fail(TEXT_SETTINGS_MISSING);
        return;
    }
    if (!SendStartRequest(settings, letter)) {
        Fail(TEXT_START_FAILED);
        return;
    }
    settings.Started = 1;
    if (!StoreSettings(settings)) {
        // The file would not start the volume at the next launch: the start
        // is taken back, and the file and the toolbar stay as they were.
        Fail(TEXT_SETTINGS_ERROR);
        if (SendStop(letter)) {
            return;
        }
    } else {
        MessageBox(TEXT_START_SUCCEEDED, PANEL_CAPTION, STYLE_SUCCESS);
    }
    m_toolBar.ShowStarted(true);
}

void CCacheDlg::OnVolumeStop()
{
    WCHAR letter = 0;
    if (!m_volumeList.Selected(&letter, nullptr)) {
        return;
    }
    if (!SendStop(letter)) {
        Fail(TEXT_STOP_FAILED);
        return;
    }
    MessageBox(TEXT_STOP_SUCCEEDED, PANEL_CAPTION, STYLE_SUCCESS);
    m_toolBar.ShowStarted(false);
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    if (!ReadVolumeSettings(letter, &settings, m_configPath)) {
        Fail(TEXT_SETTINGS_MISSING);
        return;
    }
    settings.Started = 0;
    // The volume stays stopped as asked; a file that keeps Started=1 starts
    // it again at the next launch, which the message tells.
    if (!StoreSettings(settings)) {
        Fail(TEXT_SETTINGS_ERROR);
    }
}

void CCacheDlg::OnVolumeDelete()
{
    WCHAR letter = 0;
    int row = -1;
    if (!m_volumeList.Selected(&letter, &row)) {
        return;
    }
    // A volume that is not cached refuses the stop; that is fine here.
    SendStop(letter);
    if (!RemoveSettings(letter)) {
        // The section stays, and with it the row: the list goes on showing
        // what the file holds.
        Fail(TEXT_SETTINGS_ERROR);
        return;
    }
    m_volumeList.Delete(row);
    m_volumeList.TopLetter(&m_selectedLetter);
}

void CCacheDlg::OnVolumeSettings()
{
    WCHAR letter = 0;
    if (!m_volumeList.Selected(&letter, nullptr)) {
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
    if (!StoreSettings(settings)) {
        // No rebuild: it would start the volume from settings that may be
        // written only in part.
        Fail(TEXT_SETTINGS_ERROR);
        return;
    }
    FillVolumeList();
}
