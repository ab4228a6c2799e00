// The texts the panel shows for a cached volume's statistics: the five
// columns of a volume-list row and the four rows of the detail list. Pure
// functions, also used outside the window (the NBD demo prints these rows).
#pragma once

#include <windows.h>

#include "panel/ConfigFile.h"
#include "shared/CacheProtocol.h"

#define STAT_TEXT_CHARS 128

// Columns of a volume-list row: 0 label, 1 size GB, 2 hit rate,
// 3 memory used/total MB, 4 SSD used/total MB.
struct VolumeRowTexts {
    WCHAR Column[5][STAT_TEXT_CHARS];
};

// A cached volume's row from its statistics; label is column 0.
void FormatVolumeRow(const WCHAR *label, const CacheStatistics &statistics, VolumeRowTexts *texts);

// A configured volume that is not cached: "-----", "0.00%", "0/MemSize",
// "0/SsdSize" or "-----"; column 0 is the stored VolumeName.
void FormatConfiguredRow(const VolumeSettings &settings, VolumeRowTexts *texts);

// Detail rows: 0 系统 (all reads), 1 卷 (volume), 2 内存 (memory), 3 SSD.
#define DETAIL_ROWS 4
extern const WCHAR *const DetailRowNames[DETAIL_ROWS];

struct DetailRowTexts {
    WCHAR Count[STAT_TEXT_CHARS];   // "%lld次"
    WCHAR Amount[STAT_TEXT_CHARS];  // "%0.2f GB" from 1 GB on, else "%0.2f MB"
    WCHAR Speed[STAT_TEXT_CHARS];   // "%0.2f MB/S" of the bytes since previous
};

// previous: the same volume's record one tick earlier; null when there is no
// such sample, which shows the speed as 0.00 MB/S.
void FormatDetailRow(int row, const CacheStatistics &current, const CacheStatistics *previous,
                     DetailRowTexts *texts);
