// The settings dialog.
#include "panel/ConfigDlg.h"

#include "panel/Messages.h"
#include "panel/VolumeLabel.h"
#include "shared/CacheProtocol.h"

#include <string.h>

namespace {

const WCHAR *const kAllocateBlockNames[ALLOCATE_BLOCK_SIZES] = {L"16M", L"32M", L"64M", L"128M"};
const WCHAR *const kCacheBlockNames[CACHE_BLOCK_SIZES] = {L"4K", L"16K", L"64K", L"128K", L"512K", L"1M"};

}  // namespace

CConfigDlg::CConfigDlg()
    : ui::Dialog(IDD_CONFIG_DIALOG), m_memSize(0), m_ssdSize(0), m_ssdMaxSize(0), m_ssdEnabled(FALSE),
      m_ssdGrow(FALSE), m_allocateBlockIndex(0), m_cacheBlockIndex(0), m_editMode(false), m_editLetter(0)
{
    memset(&m_settings, 0, sizeof(m_settings));
}

void CConfigDlg::DoDataExchange(ui::DataExchange *dx)
{
    dx->Bind(IDC_DISK_COMBO, m_diskCombo);
    dx->NumberField(IDC_MEM_SIZE, m_memSize);
    dx->NumberField(IDC_SSD_SIZE, m_ssdSize);
    dx->NumberField(IDC_SSD_MAX_SIZE, m_ssdMaxSize);
    dx->CheckBox(IDC_SSD_ENABLE, m_ssdEnabled);
    dx->CheckBox(IDC_SSD_GROW, m_ssdGrow);
    dx->TextField(IDC_CACHE_FILE, m_cacheFile);
    dx->Bind(IDC_SSD_SIZE, m_ssdSizeEdit);
    dx->Bind(IDC_SSD_MAX_SIZE, m_ssdMaxSizeEdit);
    dx->Bind(IDC_SSD_ENABLE, m_ssdEnableCheck);
    dx->Bind(IDC_SSD_GROW, m_ssdGrowCheck);
    dx->Bind(IDC_CACHE_FILE, m_cacheFileEdit);
    dx->Bind(IDC_BROWSE, m_browseButton);
    dx->ComboText(IDC_DISK_COMBO, m_volumeLabel);
    dx->Bind(IDC_ALLOCATE_BLOCK, m_allocateBlockCombo);
    dx->Bind(IDC_CACHE_BLOCK, m_cacheBlockCombo);
    dx->ComboIndex(IDC_ALLOCATE_BLOCK, m_allocateBlockIndex);
    dx->ComboIndex(IDC_CACHE_BLOCK, m_cacheBlockIndex);
}

BOOL CConfigDlg::OnInitDialog()
{
    // The framework's initialisation binds the controls.
    m_diskCombo.Bind(*this, IDC_DISK_COMBO);
    m_ssdSizeEdit.Bind(*this, IDC_SSD_SIZE);
    m_ssdMaxSizeEdit.Bind(*this, IDC_SSD_MAX_SIZE);
    m_ssdEnableCheck.Bind(*this, IDC_SSD_ENABLE);
    m_ssdGrowCheck.Bind(*this, IDC_SSD_GROW);
    m_cacheFileEdit.Bind(*this, IDC_CACHE_FILE);
    m_browseButton.Bind(*this, IDC_BROWSE);
    m_allocateBlockCombo.Bind(*this, IDC_ALLOCATE_BLOCK);
    m_cacheBlockCombo.Bind(*this, IDC_CACHE_BLOCK);

    WCHAR configPath[CONFIG_PATH_CHARS];
    BuildConfigPath(configPath);

    DWORD drives = GetLogicalDrives();
    for (WCHAR letter = L'C'; letter <= L'Z'; ++letter) {
        if (!DrivePresent(drives, letter)) {
            continue;
        }
        VolumeSettings configured;
        memset(&configured, 0, sizeof(configured));
        if (ReadVolumeSettings(letter, &configured, configPath) && !m_editMode) {
            continue;
        }
        WCHAR label[VOLUME_LABEL_CHARS];
        if (BuildEligibleVolumeLabel(letter, label)) {
            m_diskCombo.AddString(label);
        }
    }
    m_diskCombo.SetCurSel(0);

    m_memSize = CONFIG_DEFAULT_MEM_SIZE;
    m_ssdEnabled = FALSE;
    m_ssdGrow = FALSE;
    m_ssdSize = CONFIG_DEFAULT_SSD_SIZE;
    m_ssdMaxSize = CONFIG_DEFAULT_SSD_MAX_SIZE;
    m_cacheFile = L"";

    for (const WCHAR *name : kAllocateBlockNames) {
        m_allocateBlockCombo.AddString(name);
    }
    m_allocateBlockIndex = CONFIG_DEFAULT_ALLOCATE_INDEX;
    for (const WCHAR *name : kCacheBlockNames) {
        m_cacheBlockCombo.AddString(name);
    }
    m_cacheBlockIndex = CONFIG_DEFAULT_CACHE_INDEX;

    if (m_editMode) {
        int edited = -1;
        for (int i = 0; i < m_diskCombo.GetCount(); ++i) {
            if (m_diskCombo.GetLBText(i)[0] == m_editLetter) {
                edited = i;
                break;
            }
        }
        if (edited < 0) {
            // The volume is not eligible now (its medium is gone, say): it
            // gets an entry of its stored label all the same, so that the
            // disabled list shows the volume whose section is edited.
            WCHAR label[VOLUME_NAME_CHARS];
            TextCopy(label, VOLUME_NAME_CHARS, m_settings.VolumeName);
            label[0] = m_editLetter;
            edited = m_diskCombo.AddString(label);
        }
        m_diskCombo.SetCurSel(edited);
        m_diskCombo.Enable(false);
        m_memSize = m_settings.MemSize;
        m_ssdEnabled = m_settings.SsdUsed ? TRUE : FALSE;
        if (m_settings.SsdUsed) {
            m_ssdSize = m_settings.SsdSize;
            m_cacheFile = m_settings.CacheFile;
            m_ssdSizeEdit.Enable(true);
        }
        for (int j = 0; j < ALLOCATE_BLOCK_SIZES; ++j) {
            if (AllocateBlockSizeTable[j] == (ULONG)(m_settings.AllocateBlockSize << 20)) {
                m_allocateBlockIndex = j;
                break;
            }
        }
        for (int j = 0; j < CACHE_BLOCK_SIZES; ++j) {
            if (CacheBlockSizeTable[j] == (ULONG)(m_settings.CacheBlockSize << 10)) {
                m_cacheBlockIndex = j;
                break;
            }
        }
    }
    UpdateData(false);
    return TRUE;
}

bool CConfigDlg::OnCommand(UINT id)
{
    switch (id) {
    case IDC_SSD_ENABLE:
        OnSsdEnable();
        return true;
    case IDC_SSD_GROW:
        OnSsdGrow();
        return true;
    case IDC_BROWSE:
        OnBrowse();
        return true;
    case IDOK:
        OnOK();
        return true;
    default:
        return ui::Dialog::OnCommand(id);
    }
}

void CConfigDlg::OnSsdEnable()
{
    UpdateData(true);
    m_ssdSizeEdit.Enable(m_ssdEnabled != FALSE);
    m_cacheFileEdit.Enable(m_ssdEnabled != FALSE);
    m_browseButton.Enable(m_ssdEnabled != FALSE);
}

void CConfigDlg::OnSsdGrow()
{
    UpdateData(true);
    m_ssdMaxSizeEdit.Enable(m_ssdGrow != FALSE);
}

void CConfigDlg::OnBrowse()
{
    UpdateData(true);
    Text chosen;
    if (ChooseSaveFile(chosen)) {
        m_cacheFile = chosen;
        UpdateData(false);
    }
}

void CConfigDlg::OnOK()
{
    if (!UpdateData(true)) {
        return;
    }
    bool refused = m_memSize == 0 || m_ssdSize == 0 || (m_ssdEnabled && m_cacheFile.IsEmpty()) ||
                   (m_ssdEnabled && m_ssdGrow && m_ssdSize >= m_ssdMaxSize) ||
                   // The path must fit the driver's request (and the record).
                   (m_ssdEnabled && m_cacheFile.Length() > CACHE_WIN32_PATH_MAX);
    if (refused || (m_ssdEnabled && !CacheFileMayBeUsed())) {
        MessageBox(TEXT_BAD_PARAMETERS, PANEL_CAPTION, STYLE_FAILURE);
        return;
    }
    ui::Dialog::OnOK();
}

bool CConfigDlg::CacheFileMayBeUsed() const
{
    // The volume's own stored cache file may be there still (left by a crash
    // or a power loss); the driver takes it over as before.
    if (m_editMode && m_settings.SsdUsed &&
        TextEqualNoCase(m_cacheFile, m_settings.CacheFile, CACHE_FILE_CHARS)) {
        return true;
    }
    // The driver opens the cache file whether it exists or not, gives it the
    // tier's size, overwrites it and deletes it at the stop: a path that
    // names anything that exists would destroy it. Only a path known to name
    // nothing passes; a malformed one is left to the driver, which refuses it.
    if (GetFileAttributesW(m_cacheFile) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

VolumeSettings CConfigDlg::ResultSettings(UCHAR started) const
{
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    const WCHAR *label = m_volumeLabel;
    // An edited volume that had no entry in the disk list keeps its own name,
    // so that the record never lands in another volume's section.
    if (m_editMode && UpperAscii(label[0]) != UpperAscii(m_editLetter)) {
        label = m_settings.VolumeName;
    }
    TextCopyWhole(settings.VolumeName, VOLUME_NAME_CHARS, label);
    if (m_editMode) {
        settings.VolumeName[0] = m_editLetter;
    }
    TextCopyWhole(settings.CacheFile, CACHE_FILE_CHARS, m_cacheFile);
    settings.MemSize = m_memSize;
    settings.SsdSize = m_ssdSize;
    int allocate = (m_allocateBlockIndex >= 0 && m_allocateBlockIndex < ALLOCATE_BLOCK_SIZES)
                       ? m_allocateBlockIndex
                       : CONFIG_DEFAULT_ALLOCATE_INDEX;
    int cache = (m_cacheBlockIndex >= 0 && m_cacheBlockIndex < CACHE_BLOCK_SIZES)
                    ? m_cacheBlockIndex
                    : CONFIG_DEFAULT_CACHE_INDEX;
    settings.AllocateBlockSize = AllocateBlockSizeTable[allocate] >> 20;
    settings.CacheBlockSize = CacheBlockSizeTable[cache] >> 10;
    settings.SsdUsed = m_ssdEnabled ? 1 : 0;
    settings.Started = started;
    settings.SsdGrow = m_ssdGrow ? 1 : 0;
    settings.SsdMaxSize = m_ssdMaxSize;
    return settings;
}
