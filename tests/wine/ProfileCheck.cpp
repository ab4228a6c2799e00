// Checks, on the real profile calls, that the panel's own settings code keeps
// cache.ini readable on every Windows language:
//
//   tessiro8_profile_check.exe [folder]
//
// In the folder (default: a fresh one in the user's temporary folder, removed
// again at the end) one table of three rows is run, each on a cache.ini in a
// subfolder of its own (the profile calls keep recently used files in memory):
// cache.ini missing, cache.ini of 0 bytes, and cache.ini whose only section
// was deleted just before. Each
// row writes the label "本地磁盘" through WriteVolumeSettings; the file must
// then start with the UTF-16LE byte-order mark FF FE, and the label must read
// back unchanged through ReadVolumeSettings. Without the mark the profile
// calls would write the file in the system's code page, which holds no
// Chinese on most Windows languages.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "CheckLog.h"
#include "panel/ConfigFile.h"

namespace {

enum class Before { Missing, Empty, SectionDeleted };

struct Row {
    const char *Name;
    Before State;
};

const Row kRows[] = {
    {"missing cache.ini", Before::Missing},
    {"0-byte cache.ini", Before::Empty},
    {"cache.ini after its last section was deleted", Before::SectionDeleted},
};

VolumeSettings Settings(const WCHAR *label)
{
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    wcsncpy(settings.VolumeName, label, VOLUME_NAME_CHARS - 1);
    settings.MemSize = 1024;
    settings.SsdSize = 10240;
    settings.AllocateBlockSize = 32;
    settings.CacheBlockSize = 64;
    settings.Started = 1;
    return settings;
}

// The first two bytes of the file; false when it cannot be read.
bool FirstBytes(const WCHAR *path, unsigned char bytes[2], DWORD *got)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    *got = 0;
    BOOL ok = ReadFile(file, bytes, 2, got, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

void RunRow(const Row &row, const WCHAR *path)
{
    char what[160];
    Note("row: %s (%s)", row.Name, Utf8(path));
    DeleteFileW(path);
    if (row.State == Before::Empty) {
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        snprintf(what, sizeof(what), "%s: the empty file is made", row.Name);
        Check(file != INVALID_HANDLE_VALUE, what);
        CloseHandle(file);
    } else if (row.State == Before::SectionDeleted) {
        VolumeSettings other = Settings(L"D:  [DATA]");
        snprintf(what, sizeof(what), "%s: a section D is written and deleted", row.Name);
        VolumeSettings gone;
        memset(&gone, 0, sizeof(gone));
        Check(WriteVolumeSettings(&other, path) && DeleteVolumeSettings(L'D', path) &&
                  !ReadVolumeSettings(L'D', &gone, path),
              what);
    }

    const WCHAR *label = L"C:  [本地磁盘]";
    VolumeSettings written = Settings(label);
    snprintf(what, sizeof(what), "%s: WriteVolumeSettings succeeds", row.Name);
    Check(WriteVolumeSettings(&written, path), what);

    unsigned char bytes[2] = {0, 0};
    DWORD got = 0;
    bool read = FirstBytes(path, bytes, &got);
    snprintf(what, sizeof(what), "%s: the file starts FF FE", row.Name);
    CheckF(read && got == 2 && bytes[0] == 0xFF && bytes[1] == 0xFE, what, "read %d, %lu bytes: %02X %02X",
           read ? 1 : 0, (unsigned long)got, bytes[0], bytes[1]);

    VolumeSettings back;
    memset(&back, 0, sizeof(back));
    bool valid = ReadVolumeSettings(L'C', &back, path);
    snprintf(what, sizeof(what), "%s: the label reads back unchanged", row.Name);
    CheckF(valid && wcscmp(back.VolumeName, label) == 0, what, "valid %d, label \"%s\"", valid ? 1 : 0,
           Utf8(back.VolumeName));
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    WCHAR folder[MAX_PATH];
    bool ownFolder = argc < 2;
    if (ownFolder) {
        WCHAR temp[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH) {
            Check(false, "temporary folder");
            return Summary();
        }
        _snwprintf(folder, MAX_PATH, L"%lstessiro8-profile-%lu", temp, (unsigned long)GetCurrentProcessId());
        folder[MAX_PATH - 1] = 0;
        if (!CreateDirectoryW(folder, nullptr)) {
            CheckF(false, "temporary folder", "cannot create %s", Utf8(folder));
            return Summary();
        }
    } else {
        wcsncpy(folder, argv[1], MAX_PATH - 1);
        folder[MAX_PATH - 1] = 0;
    }
    Note("folder: %s; ANSI code page %u", Utf8(folder), GetACP());
    int number = 0;
    for (const Row &row : kRows) {
        WCHAR rowFolder[MAX_PATH];
        WCHAR path[MAX_PATH];
        _snwprintf(rowFolder, MAX_PATH, L"%ls\\row%d", folder, ++number);
        rowFolder[MAX_PATH - 1] = 0;
        _snwprintf(path, MAX_PATH, L"%ls\\cache.ini", rowFolder);
        path[MAX_PATH - 1] = 0;
        CreateDirectoryW(rowFolder, nullptr);
        RunRow(row, path);
        if (ownFolder) {
            DeleteFileW(path);
            RemoveDirectoryW(rowFolder);
        }
    }
    if (ownFolder) {
        RemoveDirectoryW(folder);
    }
    return Summary();
}
