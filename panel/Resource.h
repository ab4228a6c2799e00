// Resource and control identifiers of the control panel. The dialog
// templates, menus, strings and icons in panel/res use these values; the
// headless control layer generates its copy of the templates from the script.
#pragma once

// Dialog templates.
#define IDD_ABOUTBOX      100
#define IDD_CACHE_DIALOG  102
#define IDD_CONFIG_DIALOG 103

// Icons, menus, strings.
#define IDR_MAINFRAME   128
#define IDR_VOLUME_MENU 129
#define IDS_ABOUTBOX    101

// Toolbar icons: normal and disabled image of each button.
#define IDI_ABOUT             154
#define IDI_ABOUT_DISABLED    155
#define IDI_NEW               156
#define IDI_NEW_DISABLED      157
#define IDI_DELETE            158
#define IDI_DELETE_DISABLED   159
#define IDI_SETTINGS          160
#define IDI_SETTINGS_DISABLED 161
#define IDI_START             162
#define IDI_START_DISABLED    163
#define IDI_STOP              164
#define IDI_STOP_DISABLED     165

// Main window controls.
#define IDC_VOLUME_LIST    1000
#define IDC_DETAIL_LIST    1001
#define IDC_DRIVER_VERSION 1010

// Settings dialog controls.
#define IDC_BROWSE         1002
#define IDC_DISK_COMBO     1003
#define IDC_MEM_SIZE       1004
#define IDC_SSD_SIZE       1005
#define IDC_SSD_ENABLE     1006
#define IDC_CACHE_FILE     1007
#define IDC_SSD_MAX_SIZE   1008
#define IDC_SSD_GROW       1009
#define IDC_ALLOCATE_BLOCK 1010
#define IDC_CACHE_BLOCK    1011

// Commands.
#define IDM_ABOUTBOX       0x0010
#define ID_VOLUME_NEW      32781
#define ID_VOLUME_START    32782
#define ID_VOLUME_STOP     32783
#define ID_VOLUME_DELETE   32784
#define ID_VOLUME_SETTINGS 32785
#define ID_ABOUT           32800

// The toolbar's control id (a control bar's default id).
#define IDC_TOOLBAR 0xE800

// Popups of IDR_VOLUME_MENU, by position.
#define VOLUME_MENU_CACHED     0  // "新建(&N)", "停止(&X)", "删除(&D)"
#define VOLUME_MENU_NOT_CACHED 1  // "新建(&N)", "启动(&S)", "设置(&E)", "删除(&D)"
#define VOLUME_MENU_NO_ROW     2  // "新建(&N)"
