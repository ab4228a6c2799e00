// Texts of the volume rows and the detail rows, and the UTF-16 formatter they
// are built with.
#include <gtest/gtest.h>

#include <HostKernel.h>
#include <string.h>

#include "panel/StatisticsFormat.h"
#include "panel/Text.h"

namespace {

std::string U8(const WCHAR *text)
{
    return host::Utf8(text);
}

CacheStatistics Zero()
{
    CacheStatistics s;
    memset(&s, 0, sizeof(s));
    return s;
}

TEST(FormatText, ConversionsMatchThePlatformsPrintf)
{
    WCHAR out[64];
    FormatText(out, 64, L"%d|%u|%x|%lld|%%", -5, 7u, 0x20110325u, -12345678901ll);
    EXPECT_EQ(U8(out), "-5|7|20110325|-12345678901|%");
    FormatText(out, 64, L"%0.2f %.2f %0.2f", 0.005, 1023.999, 99.994);
    EXPECT_EQ(U8(out), "0.01 1024.00 99.99");
    FormatText(out, 64, L"%ws  [%s]", L"D:", L"本地磁盘");
    EXPECT_EQ(U8(out), "D:  [本地磁盘]");
}

TEST(FormatText, CutsAtTheCapacityAndTerminates)
{
    WCHAR out[6];
    EXPECT_EQ(FormatText(out, 6, L"%ws", L"abcdefgh"), 5u);
    EXPECT_EQ(U8(out), "abcde");
}

TEST(ParseUnsigned, AcceptsDecimalsWithBlanksOnly)
{
    struct Case {
        const WCHAR *text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {L"1024", true, 1024},
        {L"  42 ", true, 42},
        {L"\t7", true, 7},
        {L"0", true, 0},
        {L"4294967295", true, 0xFFFFFFFFu},
        {L"4294967296", false, 0},
        {L"", false, 0},
        {L"   ", false, 0},
        {L"-1", false, 0},
        {L"12a", false, 0},
        {L"1 2", false, 0},
        {L"+3", false, 0},
        {L"0x10", false, 0},
    };
    for (const Case &c : cases) {
        uint32_t value = 99;
        EXPECT_EQ(ParseUnsigned(c.text, &value), c.ok) << U8(c.text);
        if (c.ok) {
            EXPECT_EQ(value, c.value) << U8(c.text);
        } else {
            EXPECT_EQ(value, 99u) << U8(c.text);
        }
    }
}

TEST(TextCopyWhole, NeverSplitsASurrogatePair)
{
    // "ab" + U+1F600 (two units) in a 4-unit buffer: the pair does not fit.
    const WCHAR source[] = {L'a', L'b', 0xD83D, 0xDE00, 0};
    WCHAR out[4];
    EXPECT_FALSE(TextCopyWhole(out, 4, source));
    EXPECT_EQ(TextLength(out), 2u);
    WCHAR wide[5];
    EXPECT_TRUE(TextCopyWhole(wide, 5, source));
    EXPECT_EQ(TextLength(wide), 4u);
}

TEST(VolumeRow, TextsFollowTheStatistics)
{
    struct Case {
        const char *name;
        void (*set)(CacheStatistics &);
        int column;
        const char *expected;
    } cases[] = {
        {"no reads: 0% without decimals", [](CacheStatistics &) {}, 2, "0%"},
        {"hit rate",
         [](CacheStatistics &s) {
             s.ReadBytes = 3000;
             s.MemoryHitBytes = 1000;
             s.SsdHitBytes = 500;
         },
         2, "50.00%"},
        {"all hits",
         [](CacheStatistics &s) {
             s.ReadBytes = 10;
             s.MemoryHitBytes = 10;
         },
         2, "100.00%"},
        {"volume size", [](CacheStatistics &s) { s.VolumeSizeGB = 931; }, 1, "931"},
        {"memory used/total, 64-bit product",
         [](CacheStatistics &s) {
             s.MemoryBlocksUsed = 65536;
             s.CacheBlockSize = 0x100000;
             s.MemorySize = 1024ull << 20;
         },
         3, "65536/1024"},
        {"memory rounds down",
         [](CacheStatistics &s) {
             s.MemoryBlocksUsed = 15;
             s.CacheBlockSize = 65536;
             s.MemorySize = 32ull << 20;
         },
         3, "0/32"},
        {"8192 SSD blocks of 1 MB",
         [](CacheStatistics &s) {
             s.SsdEnabled = 1;
             s.SsdBlocksUsed = 8192;
             s.CacheBlockSize = 0x100000;
             s.SsdSize = 10240ull << 20;
         },
         4, "8192/10240"},
        {"SSD tier off",
         [](CacheStatistics &s) {
             s.SsdEnabled = 0;
             s.SsdBlocksUsed = 5;
             s.SsdSize = 1ull << 30;
             s.CacheBlockSize = 0x100000;
         },
         4, "-----"},
    };
    for (const Case &c : cases) {
        CacheStatistics s = Zero();
        c.set(s);
        VolumeRowTexts texts;
        FormatVolumeRow(L"C:  [本地磁盘]", s, &texts);
        EXPECT_EQ(U8(texts.Column[c.column]), c.expected) << c.name;
        EXPECT_EQ(U8(texts.Column[0]), "C:  [本地磁盘]");
    }
}

TEST(VolumeRow, ConfiguredButNotCachedShowsPlaceholders)
{
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    FormatText(settings.VolumeName, VOLUME_NAME_CHARS, L"D:  [DATA]");
    settings.MemSize = 1024;
    settings.SsdSize = 10240;
    VolumeRowTexts texts;
    FormatConfiguredRow(settings, &texts);
    EXPECT_EQ(U8(texts.Column[0]), "D:  [DATA]");
    EXPECT_EQ(U8(texts.Column[1]), "-----");
    EXPECT_EQ(U8(texts.Column[2]), "0.00%");
    EXPECT_EQ(U8(texts.Column[3]), "0/1024");
    EXPECT_EQ(U8(texts.Column[4]), "-----");
    settings.SsdUsed = 1;
    FormatConfiguredRow(settings, &texts);
    EXPECT_EQ(U8(texts.Column[4]), "0/10240");
}

TEST(DetailRow, CountsAmountsAndSpeeds)
{
    struct Case {
        int row;
        ULONGLONG count;
        ULONGLONG bytes;
        ULONGLONG previousBytes;  // ~0: no previous sample
        const char *countText;
        const char *amountText;
        const char *speedText;
    } cases[] = {
        {0, 12345, 1073741824ull, ~0ull, "12345次", "1.00 GB", "0.00 MB/S"},
        {1, 1, 1073741823ull, ~0ull, "1次", "1024.00 MB", "0.00 MB/S"},
        {2, 0, 0, 0, "0次", "0.00 MB", "0.00 MB/S"},
        {3, 7, 5ull << 30, 3ull << 30, "7次", "5.00 GB", "2048.00 MB/S"},
        {2, 9, 3ull << 20, 1ull << 20, "9次", "3.00 MB", "2.00 MB/S"},
        // A restarted volume's counters start again: the difference is signed.
        {0, 1, 1ull << 20, 3ull << 20, "1次", "1.00 MB", "-2.00 MB/S"},
    };
    for (const Case &c : cases) {
        CacheStatistics now = Zero();
        CacheStatistics before = Zero();
        ULONGLONG *counts[] = {&now.ReadRequests, &now.VolumeReads, &now.MemoryHits, &now.SsdHits};
        ULONGLONG *bytes[] = {&now.ReadBytes, &now.VolumeReadBytes, &now.MemoryHitBytes, &now.SsdHitBytes};
        ULONGLONG *previous[] = {&before.ReadBytes, &before.VolumeReadBytes, &before.MemoryHitBytes,
                                 &before.SsdHitBytes};
        *counts[c.row] = c.count;
        *bytes[c.row] = c.bytes;
        if (c.previousBytes != ~0ull) {
            *previous[c.row] = c.previousBytes;
        }
        DetailRowTexts texts;
        FormatDetailRow(c.row, now, c.previousBytes == ~0ull ? nullptr : &before, &texts);
        EXPECT_EQ(U8(texts.Count), c.countText) << c.row << " " << c.bytes;
        EXPECT_EQ(U8(texts.Amount), c.amountText) << c.row << " " << c.bytes;
        EXPECT_EQ(U8(texts.Speed), c.speedText) << c.row << " " << c.bytes;
    }
    EXPECT_EQ(U8(DetailRowNames[0]), "系统");
    EXPECT_EQ(U8(DetailRowNames[3]), "SSD");
}

}  // namespace
