// Eligibility of drive letters and their labels.
#include "panel/VolumeLabel.h"

#include "panel/Text.h"

bool DrivePresent(DWORD drives, WCHAR driveLetter)
{
    return (drives >> (driveLetter - L'A')) & 1;
}

bool BuildEligibleVolumeLabel(WCHAR driveLetter, WCHAR *label)
{
    WCHAR root[4] = {driveLetter, L':', L'\\', 0};
    WCHAR volumeLabel[100];
    if (!GetVolumeInformationW(root, volumeLabel, 100, nullptr, nullptr, nullptr, nullptr, 0)) {
        return false;
    }
    volumeLabel[99] = 0;
    if (volumeLabel[0] == 0) {
        TextCopy(volumeLabel, 100, L"本地磁盘");
    }
    WCHAR device[3] = {driveLetter, L':', 0};
    WCHAR target[100];
    DWORD stored = QueryDosDeviceW(device, target, 100);
    if (stored > 8 && !TextEqualNoCase(target + 8, L"Harddisk", 8)) {
        return false;
    }
    FormatText(label, VOLUME_LABEL_CHARS, L"%ws  [%ws]", device, volumeLabel);
    TextUpperAscii(label);
    return true;
}
