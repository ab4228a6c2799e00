// The main window: toolbar, volume list, detail list and version label; the
// toolbar and the volume list are panel/MainToolBar.h and panel/VolumeList.h.
#pragma once

#include "panel/ConfigFile.h"
#include "panel/MainToolBar.h"
#include "panel/StatisticsFormat.h"
#include "panel/Resource.h"
#include "panel/VolumeList.h"
#include "panel/ui/Controls.h"
#include "shared/CacheProtocol.h"

#define REFRESH_TIMER_ID     0
#define REFRESH_TIMER_PERIOD 1000

class CCacheDlg : public ui::Dialog {
public:
    CCacheDlg();

    BOOL OnInitDialog() override;
    void DoDataExchange(ui::DataExchange *dx) override;
    bool OnCommand(UINT id) override;
    bool OnNotify(int controlId, UINT code, LRESULT *result) override;
    void OnTimer(UINT_PTR id) override;
    bool OnSysCommand(UINT command) override;
    bool OnPaint() override;
    ui::IconHandle OnQueryDragIcon() override;
    bool PreTranslateMessage(const MSG *message) override;

    // Rebuilds the volume list from the drives and the settings file.
    void FillVolumeList();
    // Detail list.
    void UpdateDetailList(WCHAR driveLetter);

    // Commands.
    void OnVolumeNew();
    void OnVolumeStart();
    void OnVolumeStop();
    void OnVolumeDelete();
    void OnVolumeSettings();
    void OnAbout();

    // Notifications of the volume list.
    void OnVolumeListClick(LRESULT *result);
    void OnVolumeListItemChanged(LRESULT *result);
    void OnVolumeListRightClick(LRESULT *result);

    ui::IconHandle m_hIcon;
    CVolumeList m_volumeList;
    ui::ListCtrl m_detailList;
    WCHAR m_selectedLetter;
    CacheStatistics m_lastStatistics;
    // Drive letter m_lastStatistics was taken from; 0 before the first sample
    // and after a failed update.
    WCHAR m_lastStatisticsLetter;
    WCHAR m_configPath[CONFIG_PATH_CHARS];
    ui::ToolTip m_toolTip;
    bool m_toolTipReady;
    CMainToolBar m_toolBar;
    Text m_versionText;
    ui::Static m_versionLabel;

private:
    void SetUpDetailList();
    void SetUpToolTips();
    void Fail(const WCHAR *text);
    // cache.ini writes of the commands; false when the file could not be
    // written (true without a settings file at all).
    bool StoreSettings(const VolumeSettings &settings);
    bool RemoveSettings(WCHAR driveLetter);
    bool SendStop(WCHAR driveLetter);
};
