// cache.ini: read, write and delete one volume's section.
#include "panel/ConfigFile.h"

#include "panel/Text.h"

#include <string.h>

const ULONG AllocateBlockSizeTable[ALLOCATE_BLOCK_SIZES] = {0x1000000, 0x2000000, 0x4000000, 0x8000000};
const ULONG CacheBlockSizeTable[CACHE_BLOCK_SIZES] = {0x1000, 0x4000, 0x10000, 0x20000, 0x80000, 0x100000};

namespace {

void SectionName(WCHAR driveLetter, WCHAR section[2])
{
    section[0] = UpperAscii(driveLetter);
    section[1] = 0;
}

// The profile calls would fall back to the Windows directory for an empty
// name; the panel never lets them.
bool HasPath(const WCHAR *path)
{
    return path != nullptr && path[0] != 0;
}

// Gives cache.ini the UTF-16LE byte-order mark when it is missing or empty,
// so that the profile calls keep writing it as UTF-16: a file without one
// would be written in the system's code page, which cannot hold "本地磁盘" on
// every Windows language. False when the mark is needed but cannot be
// written; a file that cannot be opened is left to the profile writes,
// which then fail on their own.
bool PrepareUnicodeFile(const WCHAR *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool ready = true;
    unsigned char first[2] = {0, 0};
    DWORD got = 0;
    if (ReadFile(file, first, sizeof(first), &got, nullptr) && got == 0) {
        static const unsigned char bom[2] = {0xFF, 0xFE};
        DWORD written = 0;
        ready = WriteFile(file, bom, sizeof(bom), &written, nullptr) && written == sizeof(bom);
    }
    CloseHandle(file);
    return ready;
}

bool WriteText(const WCHAR *section, const WCHAR *key, const WCHAR *text, const WCHAR *path)
{
    return WritePrivateProfileStringW(section, key, text, path) != FALSE;
}

bool WriteNumber(const WCHAR *section, const WCHAR *key, int value, const WCHAR *path)
{
    WCHAR text[16];
    FormatText(text, 16, L"%d", value);
    return WriteText(section, key, text, path);
}

}  // namespace

bool BuildConfigPath(WCHAR *path)
{
    WCHAR module[CONFIG_PATH_CHARS];
    DWORD length = GetModuleFileNameW(nullptr, module, CONFIG_PATH_CHARS);
    path[0] = 0;
    if (length == 0 || length >= CONFIG_PATH_CHARS) {
        return false;
    }
    module[length] = 0;
    WCHAR *lastSlash = nullptr;
    for (WCHAR *p = module; *p != 0; ++p) {
        if (*p == L'\\') {
            lastSlash = p;
        }
    }
    if (lastSlash != nullptr) {
        *lastSlash = 0;
    }
    if (!TextCopy(path, CONFIG_PATH_CHARS, module) || !TextAppend(path, CONFIG_PATH_CHARS, L"\\cache.ini")) {
        path[0] = 0;
        return false;
    }
    return true;
}

bool ReadVolumeSettings(WCHAR driveLetter, VolumeSettings *settings, const WCHAR *path)
{
    if (!HasPath(path)) {
        return false;
    }
    WCHAR section[2];
    SectionName(driveLetter, section);
    // A value that begins with a NUL holds no text, whatever the count says.
    if (GetPrivateProfileStringW(section, L"VolumeName", L"", settings->VolumeName, VOLUME_NAME_CHARS,
                                 path) == 0 ||
        settings->VolumeName[0] == 0) {
        return false;
    }
    settings->MemSize = GetPrivateProfileIntW(section, L"MemSize", 0, path);
    if (settings->MemSize == 0) {
        return false;
    }
    settings->AllocateBlockSize = GetPrivateProfileIntW(section, L"AllocateBlockSize", 0, path);
    if (settings->AllocateBlockSize == 0) {
        return false;
    }
    settings->CacheBlockSize = GetPrivateProfileIntW(section, L"CacheBlockSize", 0, path);
    if (settings->CacheBlockSize == 0) {
        return false;
    }
    settings->SsdUsed = (UCHAR)GetPrivateProfileIntW(section, L"SsdUsed", 0, path);
    settings->Started = (UCHAR)GetPrivateProfileIntW(section, L"Started", 1, path);
    if (!settings->SsdUsed) {
        return true;
    }
    if (GetPrivateProfileStringW(section, L"CacheFile", L"", settings->CacheFile, CACHE_FILE_CHARS, path) ==
            0 ||
        settings->CacheFile[0] == 0) {
        return false;
    }
    settings->SsdSize = GetPrivateProfileIntW(section, L"SsdSize", 0, path);
    return settings->SsdSize != 0;
}

bool WriteVolumeSettings(const VolumeSettings *settings, const WCHAR *path)
{
    if (!HasPath(path) || !PrepareUnicodeFile(path)) {
        return false;
    }
    WCHAR section[2];
    SectionName(settings->VolumeName[0], section);
    WCHAR name[VOLUME_NAME_CHARS];
    TextCopyWhole(name, VOLUME_NAME_CHARS, settings->VolumeName);
    // The keys are written one by one; the first that fails ends the write.
    if (!WriteText(section, L"VolumeName", name, path)) {
        return false;
    }
    if (settings->SsdUsed) {
        WCHAR cacheFile[CACHE_FILE_CHARS];
        TextCopyWhole(cacheFile, CACHE_FILE_CHARS, settings->CacheFile);
        if (!WriteText(section, L"CacheFile", cacheFile, path)) {
            return false;
        }
    }
    return WriteNumber(section, L"MemSize", (int)settings->MemSize, path) &&
           WriteNumber(section, L"SsdSize", (int)settings->SsdSize, path) &&
           WriteNumber(section, L"AllocateBlockSize", (int)settings->AllocateBlockSize, path) &&
           WriteNumber(section, L"CacheBlockSize", (int)settings->CacheBlockSize, path) &&
           WriteNumber(section, L"SsdUsed", settings->SsdUsed, path) &&
           WriteNumber(section, L"Started", settings->Started, path);
}

bool DeleteVolumeSettings(WCHAR driveLetter, const WCHAR *path)
{
    if (!HasPath(path)) {
        return false;
    }
    WCHAR section[2];
    SectionName(driveLetter, section);
    // The documented way to remove a section: the string write with no key.
    return WritePrivateProfileStringW(section, nullptr, nullptr, path) != FALSE;
}
