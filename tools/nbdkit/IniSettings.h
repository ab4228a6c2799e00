// The plugin's settings from a cache.ini section, read with the control
// panel's own reader and turned into bytes by its request rule.
#pragma once

#include "CacheSettings.h"

#include <ntddk.h>

#include <string>

namespace nbdcache {

// Reads the section of Letter from the cache.ini at IniPath (a host path).
// False, with Error, when the section is missing or invalid.
bool ReadIniSettings(const std::string &IniPath, WCHAR Letter, CacheSettings *Settings, std::string *Error);

}  // namespace nbdcache
