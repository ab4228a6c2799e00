// Which drive letters the panel offers, and the label it shows for them.
#pragma once

#include <windows.h>

#define VOLUME_LABEL_CHARS 128  // "X:  [" + a label of up to 99 units + "]"

// True when letter names a local hard-disk volume whose information can be
// read; label then receives "X:  [LABEL]" upper-cased ("本地磁盘" for an
// empty label). A device name query that fails, or answers 8 units or fewer,
// does not exclude the letter; a longer name must continue "Harddisk" after
// its first 8 units ("\Device\").
bool BuildEligibleVolumeLabel(WCHAR driveLetter, WCHAR *label /* VOLUME_LABEL_CHARS */);

// True when bit (letter - 'A') of the logical drive mask is set.
bool DrivePresent(DWORD drives, WCHAR driveLetter);
