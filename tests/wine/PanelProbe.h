// What the parts of the panel probe share: the panel's window captions, how
// its windows are told apart, and one entry per command of the probe.
#pragma once

#include <windows.h>

#include "RemoteWindow.h"

const WCHAR kTitle[] = L"Oruvel无盘缓存系统";
const WCHAR kSettingsTitle[] = L"设置";
const WCHAR kAboutTitle[] = L"关于Oruvel无盘缓存系统";

bool IsMainWindow(HWND window);
bool IsMessageBox(HWND window);
// The panel's main window, waited for up to timeoutMs.
HWND MainWindow(DWORD timeoutMs);
bool CheckText(const WString &actual, const WCHAR *expected, const char *what);
// The text of a message box: its last non-empty static control.
WString MessageTextOf(HWND box);
// Whether the service manager knows the service Tessiro8 (true when the
// manager itself cannot be opened, so that a check of absence fails).
bool ServiceExists();

// The probe's commands (see PanelProbe.cpp), each returning the exit code.
int RunMain(const WCHAR *builtDriver);  // MainWindowProbe.cpp
int RunNew();                           // DialogProbe.cpp
int RunNewOk();
int RunAbout();
int RunClose(const WCHAR *which);
int RunMenu();  // MenuProbe.cpp
int RunSystemMenu();
int RunEscape();
int RunWow64();  // PanelProbe.cpp
int RunWow64Answer();
