// The main window: initialisation, lists, refresh, toolbar, tooltips, menus.
#include "panel/CacheDlg.h"

#include "panel/AboutDlg.h"
#include "panel/ControlRequest.h"
#include "panel/DriverClient.h"
#include "panel/DriverInstall.h"
#include "panel/Messages.h"
#include "panel/StatisticsFormat.h"
#include "panel/VolumeLabel.h"

#include <string.h>

namespace {

// The toolbar's buttons, left to right: command, caption, normal and
// disabled icon.
struct ToolButton {
    UINT Command;
    const WCHAR *Caption;
    int Icon;
    int DisabledIcon;
};

const int kToolButtonCount = 6;

const ToolButton kToolButtons[kToolButtonCount] = {
    {ID_VOLUME_NEW, L"添加", IDI_NEW, IDI_NEW_DISABLED},
    {ID_VOLUME_START, L"启动", IDI_START, IDI_START_DISABLED},
    {ID_VOLUME_STOP, L"停止", IDI_STOP, IDI_STOP_DISABLED},
    {ID_VOLUME_DELETE, L"删除", IDI_DELETE, IDI_DELETE_DISABLED},
    {ID_VOLUME_SETTINGS, L"修改", IDI_SETTINGS, IDI_SETTINGS_DISABLED},
    {ID_ABOUT, L"关于", IDI_ABOUT, IDI_ABOUT_DISABLED},
};

struct ButtonTip {
    UINT Command;
    const WCHAR *Tip;
};

const ButtonTip kButtonTips[] = {
    {ID_VOLUME_NEW, L"添加"},   {ID_VOLUME_START, L"启动"},    {ID_VOLUME_STOP, L"停止"},
    {ID_VOLUME_DELETE, L"删除"}, {ID_VOLUME_SETTINGS, L"设置"}, {ID_ABOUT, L"关于"},
};

struct ColumnSpec {
    const WCHAR *Heading;
    int Format;
    int Width;
};

const ColumnSpec kVolumeColumns[] = {
    {L"卷", LVCFMT_LEFT, 100},
    {L"卷大小 GB", LVCFMT_CENTER, 80},
    {L"命中率", LVCFMT_CENTER, 90},
    {L"内存(已用/总共) MB", LVCFMT_CENTER, 140},
    {L"SSD(已用/总共) MB", LVCFMT_CENTER, 140},
};

const ColumnSpec kDetailColumns[] = {
    {L"类型", LVCFMT_LEFT, 100},
    {L"读次数", LVCFMT_CENTER, 130},
    {L"读大小", LVCFMT_CENTER, 130},
    {L"读速度", LVCFMT_CENTER, 130},
};

}  // namespace

CCacheDlg::CCacheDlg()
    : ui::Dialog(IDD_CACHE_DIALOG),
      m_hIcon(ui::LoadIconResource(IDR_MAINFRAME)),
      m_selectedLetter(0),
      m_lastStatisticsLetter(0),
      m_toolTipReady(false)
{
    memset(&m_lastStatistics, 0, sizeof(m_lastStatistics));
    m_configPath[0] = 0;
}

void CCacheDlg::DoDataExchange(ui::DataExchange *dx)
{
    dx->Bind(IDC_VOLUME_LIST, m_volumeList);
    dx->Bind(IDC_DETAIL_LIST, m_detailList);
    dx->TextField(IDC_DRIVER_VERSION, m_versionText);
    dx->Bind(IDC_DRIVER_VERSION, m_versionLabel);
}

void CCacheDlg::Fail(const WCHAR *text)
{
    MessageBox(text, PANEL_CAPTION, STYLE_FAILURE);
}

BOOL CCacheDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();

    Text about = ui::LoadStringResource(IDS_ABOUTBOX);
    if (!about.IsEmpty()) {
        AppendSystemMenuItem(IDM_ABOUTBOX, about);
    }
    SetIcon(m_hIcon);

    if (RunningUnderWow64()) {
        // Before the driver file or the service manager is touched.
        Fail(TEXT_USE_64BIT_PANEL);
        EndDialog(0);
        return FALSE;
    }

    if (!OpenAndCheckService(*this) && !CreateAndStartService()) {
        Fail(TEXT_SERVICE_FAILED);
        EndDialog(0);
        return FALSE;
    }

    SetUpToolBar();

    m_versionText = Text::Format(L"驱动版本:%x", (unsigned)QueryDriverVersion());
    UpdateData(false);

    if (!BuildConfigPath(m_configPath)) {
        // No room for the file's name beside the executable: run without
        // settings rather than write anywhere else.
        Fail(TEXT_SETTINGS_ERROR);
    }

    SetUpVolumeColumns();
    SetUpDetailList();
    FillVolumeList();
    SetTimer(REFRESH_TIMER_ID, REFRESH_TIMER_PERIOD);
    SetUpToolTips();
    m_toolTipReady = true;
    return TRUE;
}

void CCacheDlg::SetUpToolBar()
{
    m_toolBar.Create(*this);
    m_toolBar.SetButtons(kToolButtonCount);
    m_toolBar.Move(0, 0, 1000, 100);
    m_toolBar.SetPadding(15, 5);

    m_toolBarImages.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 10);
    for (const ToolButton &button : kToolButtons) {
        m_toolBarImages.Add(ui::LoadIconResource(button.Icon));
    }
    m_toolBar.SetImageList(m_toolBarImages);
    m_toolBarDisabledImages.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 10);
    for (const ToolButton &button : kToolButtons) {
        m_toolBarDisabledImages.Add(ui::LoadIconResource(button.DisabledIcon));
    }
    m_toolBar.SetDisabledImageList(m_toolBarDisabledImages);

    for (int i = 0; i < kToolButtonCount; ++i) {
        m_toolBar.SetButtonInfo(i, kToolButtons[i].Command, BTNS_BUTTON, i);
    }
    for (int i = 0; i < kToolButtonCount; ++i) {
        m_toolBar.SetButtonText(i, kToolButtons[i].Caption);
    }

    // Every button takes the size button 0 got from its image, text and
    // padding; the images are laid out as 16 x 15.
    RECT first = {0, 0, 0, 0};
    m_toolBar.GetItemRect(0, &first);
    m_toolBar.SetSizes(SIZE{first.right - first.left, first.bottom - first.top}, SIZE{16, 15});

    m_toolBar.EnableButton(ID_VOLUME_START, false);
    m_toolBar.EnableButton(ID_VOLUME_STOP, false);
    m_toolBar.EnableButton(ID_VOLUME_DELETE, false);
    m_toolBar.EnableButton(ID_VOLUME_SETTINGS, false);
    m_toolBar.Show(true);
}

void CCacheDlg::SetUpVolumeColumns()
{
    for (int i = 0; i < 5; ++i) {
        m_volumeList.InsertColumn(i, kVolumeColumns[i].Heading, kVolumeColumns[i].Format,
                                  kVolumeColumns[i].Width);
    }
    m_volumeList.SetExtendedStyle(m_volumeList.GetExtendedStyle() | LVS_EX_GRIDLINES |
                                  LVS_EX_FULLROWSELECT);
}

void CCacheDlg::SetUpDetailList()
{
    for (int i = 0; i < 4; ++i) {
        m_detailList.InsertColumn(i, kDetailColumns[i].Heading, kDetailColumns[i].Format,
                                  kDetailColumns[i].Width);
    }
    for (int row = 0; row < DETAIL_ROWS; ++row) {
        m_detailList.InsertItem(row, DetailRowNames[row]);
    }
    m_detailList.SetExtendedStyle(m_detailList.GetExtendedStyle() | LVS_EX_FULLROWSELECT);
}

void CCacheDlg::SetUpToolTips()
{
    m_toolTip.Create(*this);
    m_toolTip.SetColors(RGB(255, 255, 255), RGB(0, 0, 0));
    m_toolTip.AddTool(m_volumeList, L"已缓存卷信息");
    m_toolTip.AddTool(m_detailList, L"缓存状态");
    for (const ButtonTip &tip : kButtonTips) {
        RECT rect = {0, 0, 0, 0};
        m_toolBar.GetButtonRect(tip.Command, &rect);
        m_toolTip.AddTool(m_toolBar, tip.Command, rect, tip.Tip);
    }
    Text versionTip(L"当前驱动版本:");
    versionTip.Append(m_versionLabel.GetText());
    m_toolTip.AddTool(m_versionLabel, versionTip);
    m_toolTip.SetAutomaticDelay(1000);
    m_toolTip.Activate(true);
}

// --- Volume list -------------------------------------------------------------------

void CCacheDlg::SetRowTexts(int row, const VolumeRowTexts &texts)
{
    for (int column = 1; column < 5; ++column) {
        m_volumeList.SetItemText(row, column, texts.Column[column]);
    }
}

void CCacheDlg::FillVolumeList()
{
    m_volumeList.DeleteAllItems();
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
            int row = m_volumeList.InsertItem(m_volumeList.GetItemCount(), label);
            UpdateVolumeRow(letter, row);
            continue;
        }
        VolumeSettings settings;
        memset(&settings, 0, sizeof(settings));
        if (!ReadVolumeSettings(letter, &settings, m_configPath)) {
            continue;
        }
        VolumeRowTexts texts;
        FormatConfiguredRow(settings, &texts);
        int row = m_volumeList.InsertItem(m_volumeList.GetItemCount(), settings.VolumeName);
        SetRowTexts(row, texts);
        if (settings.Started && !SendStartRequest(settings, letter)) {
            Fail(TEXT_START_FAILED);
        }
    }
}

void CCacheDlg::UpdateVolumeRow(WCHAR driveLetter, int row)
{
    CacheStatistics statistics;
    if (!QueryVolumeStatistics(driveLetter, &statistics)) {
        return;
    }
    VolumeRowTexts texts;
    FormatVolumeRow(L"", statistics, &texts);
    SetRowTexts(row, texts);
}

// --- Detail list and refresh ----------------------------------------------------------

void CCacheDlg::UpdateDetailList(WCHAR driveLetter)
{
    CacheStatistics statistics;
    if (!QueryVolumeStatistics(driveLetter, &statistics)) {
        // The texts stay, but the run of samples is broken: the next
        // successful update (of this volume after a click on another one
        // that is not cached, or of a volume started again) has no previous
        // sample of its own.
        m_lastStatisticsLetter = 0;
        return;
    }
    // The speed is the difference to the previous sample of the same volume;
    // without one (first sample, or another volume's) it shows as 0.
    const CacheStatistics *previous =
        (m_lastStatisticsLetter != 0 && m_lastStatisticsLetter == driveLetter) ? &m_lastStatistics
                                                                              : nullptr;
    for (int row = 0; row < DETAIL_ROWS; ++row) {
        DetailRowTexts texts;
        FormatDetailRow(row, statistics, previous, &texts);
        m_detailList.SetItemText(row, 1, texts.Count);
        m_detailList.SetItemText(row, 2, texts.Amount);
        m_detailList.SetItemText(row, 3, texts.Speed);
    }
    m_lastStatistics = statistics;
    m_lastStatisticsLetter = driveLetter;
}

void CCacheDlg::OnTimer(UINT_PTR)
{
    UpdateDetailList(m_selectedLetter);
    for (int row = 0; row < m_volumeList.GetItemCount(); ++row) {
        Text label = m_volumeList.GetItemText(row, 0);
        if (label.IsEmpty()) {
            continue;
        }
        UpdateVolumeRow(label[0], row);
    }
}

bool CCacheDlg::SelectedVolume(WCHAR *driveLetter, int *row) const
{
    int selected = m_volumeList.GetFirstSelected();
    if (selected < 0) {
        return false;
    }
    *driveLetter = m_volumeList.GetItemText(selected, 0)[0];
    if (row != nullptr) {
        *row = selected;
    }
    return true;
}

void CCacheDlg::OnVolumeListClick(LRESULT *result)
{
    *result = 0;
    WCHAR letter = 0;
    if (!SelectedVolume(&letter, nullptr)) {
        return;
    }
    m_selectedLetter = letter;
    UpdateDetailList(letter);
    CacheStatistics statistics;
    bool cached = QueryVolumeStatistics(letter, &statistics);
    m_toolBar.EnableButton(ID_VOLUME_START, !cached);
    m_toolBar.EnableButton(ID_VOLUME_STOP, cached);
    m_toolBar.EnableButton(ID_VOLUME_DELETE, true);
    m_toolBar.EnableButton(ID_VOLUME_SETTINGS, !cached);
}

void CCacheDlg::OnVolumeListItemChanged(LRESULT *result)
{
    *result = 0;
    if (m_volumeList.GetFirstSelected() >= 0) {
        return;
    }
    m_toolBar.EnableButton(ID_VOLUME_START, false);
    m_toolBar.EnableButton(ID_VOLUME_STOP, false);
    m_toolBar.EnableButton(ID_VOLUME_DELETE, false);
    m_toolBar.EnableButton(ID_VOLUME_SETTINGS, false);
}

void CCacheDlg::OnVolumeListRightClick(LRESULT *result)
{
    *result = 0;
    WCHAR letter = 0;
    int popup = VOLUME_MENU_NO_ROW;
    if (SelectedVolume(&letter, nullptr)) {
        CacheStatistics statistics;
        popup = QueryVolumeStatistics(letter, &statistics) ? VOLUME_MENU_CACHED
                                                           : VOLUME_MENU_NOT_CACHED;
    }
    TrackContextMenu(IDR_VOLUME_MENU, popup);
}

// --- Message dispatch -------------------------------------------------------------------

bool CCacheDlg::OnCommand(UINT id)
{
    switch (id) {
    case ID_VOLUME_NEW: OnVolumeNew(); return true;
    case ID_VOLUME_DELETE: OnVolumeDelete(); return true;
    case ID_VOLUME_START: OnVolumeStart(); return true;
    case ID_VOLUME_STOP: OnVolumeStop(); return true;
    case ID_ABOUT: OnAbout(); return true;
    case ID_VOLUME_SETTINGS: OnVolumeSettings(); return true;
    default: return ui::Dialog::OnCommand(id);
    }
}

bool CCacheDlg::OnNotify(int controlId, UINT code, LRESULT *result)
{
    if (controlId != IDC_VOLUME_LIST) {
        return false;
    }
    switch (code) {
    case NM_CLICK: OnVolumeListClick(result); return true;
    case LVN_ITEMCHANGED: OnVolumeListItemChanged(result); return true;
    case NM_RCLICK: OnVolumeListRightClick(result); return true;
    default: return false;
    }
}

bool CCacheDlg::OnSysCommand(UINT command)
{
    if ((command & ~0xFu) == IDM_ABOUTBOX) {
        OnAbout();
        return true;
    }
    return false;
}

void CCacheDlg::OnAbout()
{
    CAboutDlg about;
    about.DoModal();
}

bool CCacheDlg::OnPaint()
{
    return PaintIconIfMinimised(m_hIcon);
}

ui::IconHandle CCacheDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

bool CCacheDlg::PreTranslateMessage(const MSG *message)
{
    if (m_toolTipReady) {
        m_toolTip.RelayEvent(message);
    }
    return ui::Dialog::PreTranslateMessage(message);
}
