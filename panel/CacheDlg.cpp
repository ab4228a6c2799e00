// The main window: initialisation, detail list, refresh, tooltips, selection, menus.
#include "panel/CacheDlg.h"

#include "panel/AboutDlg.h"
#include "panel/DriverClient.h"
#include "panel/DriverInstall.h"
#include "panel/ListColumns.h"
#include "panel/Messages.h"
#include "panel/StatisticsFormat.h"

#include <string.h>

namespace {

const ListColumn kDetailColumns[] = {
    {L"类型", LVCFMT_LEFT, 100},
    {L"读次数", LVCFMT_CENTER, 130},
    {L"读大小", LVCFMT_CENTER, 130},
    {L"读速度", LVCFMT_CENTER, 130},
};

}  // namespace

CCacheDlg::CCacheDlg()
    : ui::Dialog(IDD_CACHE_DIALOG), m_hIcon(ui::LoadIconResource(IDR_MAINFRAME)), m_selectedLetter(0),
      m_lastStatisticsLetter(0), m_toolTipReady(false)
{
    memset(&m_lastStatistics, 0, sizeof(m_lastStatistics));
    m_configPath[0] = 0;
}

void CCacheDlg::DoDataExchange(ui::DataExchange *dx)
{
    dx->Bind(IDC_VOLUME_LIST, m_volumeList.Control());
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

    m_toolBar.Create(*this);

    m_versionText = Text::Format(L"驱动版本:%x", (unsigned)QueryDriverVersion());
    UpdateData(false);

    if (!BuildConfigPath(m_configPath)) {
        // No room for the file's name beside the executable: run without
        // settings rather than write anywhere else.
        Fail(TEXT_SETTINGS_ERROR);
    }

    m_volumeList.SetUpColumns();
    SetUpDetailList();
    FillVolumeList();
    SetTimer(REFRESH_TIMER_ID, REFRESH_TIMER_PERIOD);
    SetUpToolTips();
    m_toolTipReady = true;
    return TRUE;
}

void CCacheDlg::SetUpDetailList()
{
    InsertColumns(m_detailList, kDetailColumns);
    for (int row = 0; row < DETAIL_ROWS; ++row) {
        m_detailList.InsertItem(row, DetailRowNames[row]);
    }
    m_detailList.SetExtendedStyle(m_detailList.GetExtendedStyle() | LVS_EX_FULLROWSELECT);
}

void CCacheDlg::SetUpToolTips()
{
    m_toolTip.Create(*this);
    m_toolTip.SetColors(RGB(255, 255, 255), RGB(0, 0, 0));
    m_toolTip.AddTool(m_volumeList.Control(), L"已缓存卷信息");
    m_toolTip.AddTool(m_detailList, L"缓存状态");
    m_toolBar.AddTips(m_toolTip);
    Text versionTip(L"当前驱动版本:");
    versionTip.Append(m_versionLabel.GetText());
    m_toolTip.AddTool(m_versionLabel, versionTip);
    m_toolTip.SetAutomaticDelay(1000);
    m_toolTip.Activate(true);
}

void CCacheDlg::FillVolumeList()
{
    m_volumeList.Fill(m_configPath, *this);
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
        (m_lastStatisticsLetter != 0 && m_lastStatisticsLetter == driveLetter) ? &m_lastStatistics : nullptr;
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
    m_volumeList.Refresh();
}

void CCacheDlg::OnVolumeListClick(LRESULT *result)
{
    *result = 0;
    WCHAR letter = 0;
    if (!m_volumeList.Selected(&letter, nullptr)) {
        return;
    }
    m_selectedLetter = letter;
    UpdateDetailList(letter);
    CacheStatistics statistics;
    bool cached = QueryVolumeStatistics(letter, &statistics);
    m_toolBar.ShowSelection(cached);
}

void CCacheDlg::OnVolumeListItemChanged(LRESULT *result)
{
    *result = 0;
    if (m_volumeList.Control().GetFirstSelected() >= 0) {
        return;
    }
    m_toolBar.ShowNoSelection();
}

void CCacheDlg::OnVolumeListRightClick(LRESULT *result)
{
    *result = 0;
    WCHAR letter = 0;
    int popup = VOLUME_MENU_NO_ROW;
    if (m_volumeList.Selected(&letter, nullptr)) {
        CacheStatistics statistics;
        popup = QueryVolumeStatistics(letter, &statistics) ? VOLUME_MENU_CACHED : VOLUME_MENU_NOT_CACHED;
    }
    TrackContextMenu(IDR_VOLUME_MENU, popup);
}

// --- Message dispatch -------------------------------------------------------------------

bool CCacheDlg::OnCommand(UINT id)
{
    switch (id) {
    case ID_VOLUME_NEW:
        OnVolumeNew();
        return true;
    case ID_VOLUME_DELETE:
        OnVolumeDelete();
        return true;
    case ID_VOLUME_START:
        OnVolumeStart();
        return true;
    case ID_VOLUME_STOP:
        OnVolumeStop();
        return true;
    case ID_ABOUT:
        OnAbout();
        return true;
    case ID_VOLUME_SETTINGS:
        OnVolumeSettings();
        return true;
    default:
        return ui::Dialog::OnCommand(id);
    }
}

bool CCacheDlg::OnNotify(int controlId, UINT code, LRESULT *result)
{
    if (controlId != IDC_VOLUME_LIST) {
        return false;
    }
    switch (code) {
    case NM_CLICK:
        OnVolumeListClick(result);
        return true;
    case LVN_ITEMCHANGED:
        OnVolumeListItemChanged(result);
        return true;
    case NM_RCLICK:
        OnVolumeListRightClick(result);
        return true;
    default:
        return false;
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
