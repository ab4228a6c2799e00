// cache.ini as anyone may hand-edit it: arbitrary file bytes, with or without
// the UTF-16LE byte-order mark, read through the control panel's own settings
// code for every section letter. Each section that reads as valid is written
// back into the same file, as the Start and Stop commands do, and read again.
//
// Checked: no crash; every text field read is terminated within its field and
// non-empty where a valid section requires it, and every size a valid
// section requires is non-zero; the round trip keeps every field it read.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "panel/ConfigFile.h"

#include "FuzzInput.h"

namespace {

std::string Directory;
std::string IniPath;
std::u16string IniPathWide;

const WCHAR *WidePath()
{
    return reinterpret_cast<const WCHAR *>(IniPathWide.c_str());
}

size_t TextLength(const WCHAR *Text, size_t Capacity)
{
    size_t n = 0;
    while (n < Capacity && Text[n] != 0)
        ++n;
    return n;
}

std::string Describe(const VolumeSettings &S)
{
    std::string text = "VolumeName units:";
    char unit[8];
    for (size_t i = 0; i < TextLength(S.VolumeName, VOLUME_NAME_CHARS); ++i) {
        snprintf(unit, sizeof unit, " %04x", unsigned(S.VolumeName[i]));
        text += unit;
    }
    text += " MemSize " + std::to_string(S.MemSize) + " SsdSize " + std::to_string(S.SsdSize) +
            " AllocateBlockSize " + std::to_string(S.AllocateBlockSize) + " CacheBlockSize " +
            std::to_string(S.CacheBlockSize) + " SsdUsed " + std::to_string(S.SsdUsed) + " Started " +
            std::to_string(S.Started);
    return text;
}

// What a valid read promises the callers: terminated fields, a label whose
// first unit names the volume, and non-zero sizes.
void CheckValidRecord(const VolumeSettings &S, WCHAR Letter)
{
    const std::string what = std::string("section ") + char(Letter) + ": " + Describe(S);
    FUZZ_CHECK(TextLength(S.VolumeName, VOLUME_NAME_CHARS) < VOLUME_NAME_CHARS, what);
    FUZZ_CHECK(S.VolumeName[0] != 0, what + ": a valid section has a volume name");
    FUZZ_CHECK(S.MemSize != 0 && S.AllocateBlockSize != 0 && S.CacheBlockSize != 0, what);
    if (S.SsdUsed) {
        FUZZ_CHECK(TextLength(S.CacheFile, CACHE_FILE_CHARS) < CACHE_FILE_CHARS, what);
        FUZZ_CHECK(S.CacheFile[0] != 0, what + ": a valid section with the SSD tier has a cache file");
        FUZZ_CHECK(S.SsdSize != 0, what);
    }
}

// The profile format drops the blanks at either end of a value. A text read
// with blanks at its end (a name cut at 39 units, or one that the file ends
// with a NUL) comes back without them: it is the same text to the file.
size_t WithoutTrailingBlanks(const WCHAR *Text, size_t Capacity)
{
    size_t n = TextLength(Text, Capacity);
    while (n > 0 && (Text[n - 1] == L' ' || Text[n - 1] == L'\t'))
        --n;
    return n;
}

bool SameText(const WCHAR *A, const WCHAR *B, size_t Capacity)
{
    size_t n = WithoutTrailingBlanks(A, Capacity);
    return n == TextLength(B, Capacity) && memcmp(A, B, n * sizeof(WCHAR)) == 0;
}

// The sections that the round trip can reach: the record is written to the
// section named by its label's first unit, which a section header can carry
// unless it is the header's own closing bracket.
bool NamesASection(WCHAR First)
{
    return First != L']';
}

void RoundTrip(const VolumeSettings &Read, WCHAR Letter)
{
    FUZZ_CHECK(WriteVolumeSettings(&Read, WidePath()), "a write to a file path succeeds");
    VolumeSettings again;
    memset(&again, 0, sizeof again);
    const std::string what = std::string("section ") + char(Letter) + " written back: " + Describe(Read);
    FUZZ_CHECK(ReadVolumeSettings(Read.VolumeName[0], &again, WidePath()),
               what + ": no longer reads as valid");
    FUZZ_CHECK(SameText(Read.VolumeName, again.VolumeName, VOLUME_NAME_CHARS),
               what + ": VolumeName came back as " + Describe(again));
    FUZZ_CHECK(Read.MemSize == again.MemSize && Read.AllocateBlockSize == again.AllocateBlockSize &&
                   Read.CacheBlockSize == again.CacheBlockSize && Read.SsdUsed == again.SsdUsed &&
                   Read.Started == again.Started,
               what + ": came back as " + Describe(again));
    if (Read.SsdUsed) {
        FUZZ_CHECK(SameText(Read.CacheFile, again.CacheFile, CACHE_FILE_CHARS), what + ": CacheFile");
        FUZZ_CHECK(Read.SsdSize == again.SsdSize, what + ": SsdSize");
    }
}

void WriteFile(const uint8_t *Data, size_t Size, bool Bom)
{
    FILE *file = fopen(IniPath.c_str(), "wb");
    if (!file)
        fuzz::Fail("cannot write " + IniPath);
    if (Bom)
        fwrite("\xFF\xFE", 1, 2, file);
    if (Size)
        fwrite(Data, 1, Size, file);
    fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Directory = fuzz::MakeScratchDirectory("tessiro8-ini");
    IniPath = Directory + "/cache.ini";
    // The host's profile calls take a path that begins with '/' as a host path.
    IniPathWide.assign(IniPath.begin(), IniPath.end());
    return 0;
}

// The first byte chooses the form: bit 0 puts the byte-order mark before the
// rest (which is then UTF-16LE text, of any length, odd ones included).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    const bool bom = Data[0] & 1;
    WriteFile(Data + 1, Size - 1, bom);

    // Every section letter, then the round trip of the valid ones. Reading
    // all letters first keeps the sections as the file gave them.
    std::vector<VolumeSettings> valid;
    std::vector<WCHAR> letters;
    for (WCHAR letter = L'A'; letter <= L'Z'; ++letter) {
        VolumeSettings settings;
        memset(&settings, 0, sizeof settings);
        bool ok = ReadVolumeSettings(letter, &settings, WidePath());
        // Even a failed read leaves the fields it stored terminated.
        FUZZ_CHECK(TextLength(settings.VolumeName, VOLUME_NAME_CHARS) < VOLUME_NAME_CHARS,
                   "VolumeName terminated");
        FUZZ_CHECK(TextLength(settings.CacheFile, CACHE_FILE_CHARS) < CACHE_FILE_CHARS,
                   "CacheFile terminated");
        if (!ok)
            continue;
        CheckValidRecord(settings, letter);
        // The lower-case letter names the same section.
        VolumeSettings lower;
        memset(&lower, 0, sizeof lower);
        FUZZ_CHECK(ReadVolumeSettings(WCHAR(letter + 0x20), &lower, WidePath()) &&
                       memcmp(&lower, &settings, sizeof lower) == 0,
                   std::string("sections ") + char(letter) + " and " + char(letter + 0x20) + " differ");
        valid.push_back(settings);
        letters.push_back(letter);
    }
    for (size_t i = 0; i < valid.size(); ++i)
        if (NamesASection(valid[i].VolumeName[0]))
            RoundTrip(valid[i], letters[i]);
    return 0;
}
