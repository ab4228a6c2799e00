// cache.ini beside the executable: one section per configured volume, named
// by its upper-case drive letter, reached only through the profile calls.
// The file is UTF-16LE with a byte-order mark, so that labels such as
// "本地磁盘" survive whatever the system's code page.
#pragma once

#include <windows.h>

#define CONFIG_PATH_CHARS 260  // MAX_PATH
#define VOLUME_NAME_CHARS 40   // at most 39 characters and the NUL
#define CACHE_FILE_CHARS  260

// One volume's settings; sizes in MB, CacheBlockSize in KB.
struct VolumeSettings {
    WCHAR VolumeName[VOLUME_NAME_CHARS];  // "X:  [LABEL]"; first unit = drive letter
    WCHAR CacheFile[CACHE_FILE_CHARS];    // meaningful when SsdUsed
    ULONG MemSize;
    ULONG SsdSize;  // meaningful when SsdUsed
    ULONG AllocateBlockSize;
    ULONG CacheBlockSize;
    UCHAR SsdUsed;
    UCHAR Started;
    // The SSD tier's growth as the settings dialog gives it to a new volume;
    // cache.ini keeps neither, so a record read from it has no growth.
    UCHAR SsdGrow;
    ULONG SsdMaxSize;  // MB, meaningful when SsdGrow
};

// Choices of the settings dialog, in bytes.
#define ALLOCATE_BLOCK_SIZES 4
#define CACHE_BLOCK_SIZES    6
extern const ULONG AllocateBlockSizeTable[ALLOCATE_BLOCK_SIZES];
extern const ULONG CacheBlockSizeTable[CACHE_BLOCK_SIZES];

// Fills path (CONFIG_PATH_CHARS units) with "<executable's directory>\cache.ini".
// False, with an empty path, when the directory leaves no room for the name.
bool BuildConfigPath(WCHAR *path);

// Reads the letter's section; true when it is valid. Fields are stored as they
// are read, so a failed read may leave the record partly filled. An empty
// path reads as a file without sections.
bool ReadVolumeSettings(WCHAR driveLetter, VolumeSettings *settings, const WCHAR *path);

// Writes the record as the section of its first letter. A missing or empty
// file first gets the UTF-16LE byte-order mark. False when the path is empty
// or a write failed; the keys before the failed one are written then.
bool WriteVolumeSettings(const VolumeSettings *settings, const WCHAR *path);

// Removes the letter's section with all its keys. True when the section is
// gone (or never was there); false when the file could not be written.
bool DeleteVolumeSettings(WCHAR driveLetter, const WCHAR *path);
