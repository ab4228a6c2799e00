// Installation of the kernel driver at start-up: the driver file in the
// system's Drivers folder and the kernel service "Tessiro8".
#pragma once

#include <windows.h>

#include "panel/ui/Controls.h"

#define DRIVER_SERVICE_NAME L"Tessiro8"

// True when this is a 32-bit panel on 64-bit Windows (WOW64): there its
// writes to the system directory land in the redirected SysWOW64, and a
// 32-bit driver cannot load, so it must not install anything.
bool RunningUnderWow64();

// Fills path (MAX_PATH units) with "<system directory>\Drivers\Tessiro8.sys"
// and writes the whole image there (overwriting any file).
bool WriteDriverFile(WCHAR *path);

// First way: reuse an existing service. Starts it when the driver does not
// run; asks owner whether to keep a driver of another version; keeps a
// driver whose device exists but cannot be opened now. False when
// the service is missing, its start failed (it is then deleted) or the user
// chose the new driver (the old one is stopped and the service deleted).
bool OpenAndCheckService(ui::Dialog &owner);

// Second way: create the service anew (automatic kernel driver) and start it.
bool CreateAndStartService();
