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
bool ActAsAdmin();

}  // namespace hostwin32::detail
