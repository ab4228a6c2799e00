// Formatting of the statistics figures.
#include "panel/StatisticsFormat.h"

#include "panel/Text.h"

const WCHAR *const DetailRowNames[DETAIL_ROWS] = {L"系统", L"卷", L"内存", L"SSD"};

namespace {

const double kPerKilo = 0.0009765625;  // 1/1024

void RowCounters(int row, const CacheStatistics &s, ULONGLONG *count, ULONGLONG *bytes)
{
    switch (row) {
    case 0:
        *count = s.ReadRequests;
        *bytes = s.ReadBytes;
        break;
    case 1:
        *count = s.VolumeReads;
        *bytes = s.VolumeReadBytes;
        break;
    case 2:
        *count = s.MemoryHits;
        *bytes = s.MemoryHitBytes;
        break;
    default:
        *count = s.SsdHits;
        *bytes = s.SsdHitBytes;
        break;
    }
}

}  // namespace

void FormatVolumeRow(const WCHAR *label, const CacheStatistics &s, VolumeRowTexts *texts)
{
    TextCopy(texts->Column[0], STAT_TEXT_CHARS, label);
    FormatText(texts->Column[1], STAT_TEXT_CHARS, L"%d", (int)s.VolumeSizeGB);
    if (s.ReadBytes == 0) {
        FormatText(texts->Column[2], STAT_TEXT_CHARS, L"0%%");
    } else {
        ULONGLONG hits = s.SsdHitBytes + s.MemoryHitBytes;
        double rate = (double)(LONGLONG)hits / (double)(LONGLONG)s.ReadBytes * 100.0;
        FormatText(texts->Column[2], STAT_TEXT_CHARS, L"%0.2f%%", rate);
    }
    ULONGLONG memoryUsed = (ULONGLONG)s.MemoryBlocksUsed * s.CacheBlockSize;
    FormatText(texts->Column[3], STAT_TEXT_CHARS, L"%d/%d", (int)(memoryUsed >> 20),
               (int)(s.MemorySize >> 20));
    if (s.SsdEnabled != 0) {
        ULONGLONG ssdUsed = (ULONGLONG)s.SsdBlocksUsed * s.CacheBlockSize;
        FormatText(texts->Column[4], STAT_TEXT_CHARS, L"%d/%d", (int)(ssdUsed >> 20), (int)(s.SsdSize >> 20));
    } else {
        TextCopy(texts->Column[4], STAT_TEXT_CHARS, L"-----");
    }
}

void FormatConfiguredRow(const VolumeSettings &settings, VolumeRowTexts *texts)
{
    TextCopy(texts->Column[0], STAT_TEXT_CHARS, settings.VolumeName);
    TextCopy(texts->Column[1], STAT_TEXT_CHARS, L"-----");
    TextCopy(texts->Column[2], STAT_TEXT_CHARS, L"0.00%");
    FormatText(texts->Column[3], STAT_TEXT_CHARS, L"%d/%d", 0, (int)settings.MemSize);
    if (settings.SsdUsed) {
        FormatText(texts->Column[4], STAT_TEXT_CHARS, L"%d/%d", 0, (int)settings.SsdSize);
    } else {
        TextCopy(texts->Column[4], STAT_TEXT_CHARS, L"-----");
    }
}

void FormatDetailRow(int row, const CacheStatistics &current, const CacheStatistics *previous,
                     DetailRowTexts *texts)
{
    ULONGLONG count = 0;
    ULONGLONG bytes = 0;
    RowCounters(row, current, &count, &bytes);
    FormatText(texts->Count, STAT_TEXT_CHARS, L"%lld次", (long long)count);
    double gigabytes = (double)(LONGLONG)bytes * kPerKilo * kPerKilo * kPerKilo;
    if (gigabytes >= 1.0) {
        FormatText(texts->Amount, STAT_TEXT_CHARS, L"%0.2f GB", gigabytes);
    } else {
        FormatText(texts->Amount, STAT_TEXT_CHARS, L"%0.2f MB",
                   (double)(LONGLONG)bytes * kPerKilo * kPerKilo);
    }
    double speed = 0.0;
    if (previous != nullptr) {
        ULONGLONG previousCount = 0;
        ULONGLONG previousBytes = 0;
        RowCounters(row, *previous, &previousCount, &previousBytes);
        LONGLONG difference = (LONGLONG)(bytes - previousBytes);
        speed = (double)difference * kPerKilo * kPerKilo;
    }
    FormatText(texts->Speed, STAT_TEXT_CHARS, L"%0.2f MB/S", speed);
}
