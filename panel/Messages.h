// Texts the control panel shows in message boxes.
#pragma once

#include <windows.h>

#define PANEL_CAPTION L"Oruvel无盘缓存系统"

#define TEXT_SERVICE_FAILED L"启动服务失败\r\n"
#define TEXT_OLD_DRIVER_PROMPT                                                                               \
    L"检测到老版本的驱动在运行!!!\r\n\r\n继续使用老版驱动点[是]\r\n启用新版驱动点[否]"
#define TEXT_ADD_FAILED       L"添加失败"
#define TEXT_START_SUCCEEDED  L"启动成功"
#define TEXT_START_FAILED     L"启动失败"
#define TEXT_STOP_SUCCEEDED   L"停止成功"
#define TEXT_STOP_FAILED      L"停止失败"
#define TEXT_SETTINGS_MISSING L"配置文件损坏:不存在此磁盘信息"
#define TEXT_SETTINGS_ERROR   L"配置文件错误"
#define TEXT_BAD_PARAMETERS   L"参数错误"
#define TEXT_USE_64BIT_PANEL                                                                                 \
    L"本程序是32位版本,不能在64位Windows上安装驱动。\r\n请使用64位版本的Tessiro8.exe。"

// Message box styles: failures carry the exclamation icon, successes the
// information icon, the one question Yes/No without an icon.
#define STYLE_FAILURE  (MB_OK | MB_ICONEXCLAMATION)
#define STYLE_SUCCESS  (MB_OK | MB_ICONINFORMATION)
#define STYLE_QUESTION (MB_YESNO)
