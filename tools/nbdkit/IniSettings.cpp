#include "IniSettings.h"

#include <HostKernel.h>
#include <panel/ControlRequest.h>

#include <cstring>

namespace nbdcache {

bool ReadIniSettings(const std::string &IniPath, WCHAR Letter, CacheSettings *Settings, std::string *Error)
{
    std::u16string path = host::U16(IniPath.c_str());
    if (path.size() >= CONFIG_PATH_CHARS) {
        if (Error)
            *Error = "cache.ini path too long: " + IniPath;
        return false;
    }
    WCHAR widePath[CONFIG_PATH_CHARS];
    memcpy(widePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));

    VolumeSettings stored;
    memset(&stored, 0, sizeof stored);
    WCHAR upper = WCHAR(Letter & ~0x20);
    if (!ReadVolumeSettings(upper, &stored, widePath)) {
        if (Error)
            *Error = std::string("no valid section [") + char(upper) + "] in " + IniPath;
        return false;
    }
    // The sizes as the panel would send them; the path is the stored one.
    CacheControlRequest request;
    BuildStartRequest(stored, upper, &request);
    Settings->MemorySize = request.MemorySize;
    Settings->AllocateBlockSize = request.AllocateBlockSize;
    Settings->CacheBlockSize = request.CacheBlockSize;
    Settings->SsdEnabled = request.SsdEnabled != 0;
    if (Settings->SsdEnabled) {
        Settings->SsdSize = request.SsdSize;
        // The stored path is the client's (D:\cache\c.dat); the plugin keeps
        // the file under its name in the host's temporary directory unless
        // cache-file= says where.
        const WCHAR *file = stored.CacheFile;
        const WCHAR *name = file;
        for (const WCHAR *p = file; *p; p++)
            if (*p == L'\\' || *p == L'/')
                name = p + 1;
        std::string base = host::Utf8(name);
        if (!base.empty() && Settings->CacheFile.empty()) {
            const char *tmp = getenv("TMPDIR");
            Settings->CacheFile = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + base;
        }
    }
    return true;
}

}  // namespace nbdcache
