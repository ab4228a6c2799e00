// Shared state of the Win32 stand-in's parts.
#pragma once

#include <windows.h>

#include <string>

#include "HostWin32.h"

namespace hostwin32::detail {

std::u16string FromWide(const WCHAR *text);
std::string Utf8Of(const std::u16string &text);
std::u16string Utf16OfUtf8(const std::string &text);

// Unloads what the services hold; called by SetMachine.
void ResetServices();
void ResetHandles();
bool IsLocked(const std::string &hostPath);
bool IsReadOnly(const std::string &hostPath);
// True when the Win32 path lies on a removable drive without a medium; counts
// the system's error box unless the error mode suppresses it. The caller then
// fails with ERROR_NOT_READY.
bool MediumMissing(const std::u16string &win32Path);
bool ActAsAdmin();

}  // namespace hostwin32::detail
