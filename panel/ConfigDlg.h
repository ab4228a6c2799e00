// The settings dialog: choose a volume and its cache settings. It neither
// writes cache.ini nor talks to the driver; the commands do.
#pragma once

#include "panel/ConfigFile.h"
#include "panel/Resource.h"
#include "panel/ui/Controls.h"

#define CONFIG_DEFAULT_MEM_SIZE       1024
#define CONFIG_DEFAULT_SSD_SIZE       10240
#define CONFIG_DEFAULT_SSD_MAX_SIZE   20480
#define CONFIG_DEFAULT_ALLOCATE_INDEX 1  // 32M
#define CONFIG_DEFAULT_CACHE_INDEX    2  // 64K

class CConfigDlg : public ui::Dialog {
public:
    CConfigDlg();

    BOOL OnInitDialog() override;
    void DoDataExchange(ui::DataExchange *dx) override;
    bool OnCommand(UINT id) override;
    void OnOK() override;

    void OnSsdEnable();
    void OnSsdGrow();
    void OnBrowse();

    // The result as stored settings, with the command's Started flag. The
    // label and path are cut to the record's fields at a character boundary.
    // In edit mode the record always names the edited volume.
    VolumeSettings ResultSettings(UCHAR started) const;

    // False when m_cacheFile names something that exists (or may exist),
    // other than the edited volume's own stored cache file.
    bool CacheFileMayBeUsed() const;

    ui::ComboBox m_diskCombo;
    UINT m_memSize;
    UINT m_ssdSize;
    UINT m_ssdMaxSize;
    BOOL m_ssdEnabled;
    BOOL m_ssdGrow;
    Text m_cacheFile;
    ui::Edit m_ssdSizeEdit;
    ui::Edit m_ssdMaxSizeEdit;
    ui::Button m_ssdEnableCheck;
    ui::Button m_ssdGrowCheck;
    ui::Edit m_cacheFileEdit;
    ui::Button m_browseButton;
    Text m_volumeLabel;
    ui::ComboBox m_allocateBlockCombo;
    ui::ComboBox m_cacheBlockCombo;
    int m_allocateBlockIndex;
    int m_cacheBlockIndex;
    bool m_editMode;
    WCHAR m_editLetter;
    VolumeSettings m_settings;
};
