// nbdkit plugin: serves a volume cached by the Tessiro8 driver in the host
// kernel. The volume's bytes come from an upstream NBD export (libnbd) or an
// image file; every client read and write becomes an IRP sent to the volume's
// device, so it passes the driver's interception, queue and worker.
//
// The volume transfers whole sectors only; nbdkit's blocksize filter in front
// of the plugin serves clients that send unaligned requests:
//
//   nbdkit -t 64 --filter=blocksize ./nbdkit-tessiro8-plugin.so upstream=nbd+unix:///?socket=/tmp/up.sock
//          memory=256 cache-block=64 [ssd=on ssd-size=512 cache-file=/tmp/c.dat]
//          [stats-log=/tmp/stats.txt] [stats-csv=/tmp/stats.csv]
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include "CacheHost.h"
#include "CacheSettings.h"
#include "IniSettings.h"
#include "NbdBacking.h"
#include "StatisticsLog.h"

#include <ntddk.h>

#include <errno.h>
#include <signal.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

using namespace nbdcache;

struct PluginConfig {
    UpstreamOptions Upstream;
    std::string ImageFile;
    HostOptions Host;
    LogOptions Log;
    std::string IniPath;
    // Parameters given on the command line, applied over cache.ini's section.
    std::vector<std::pair<std::string, std::string>> Overrides;
    // cache-file= was given, and cache-file-overwrite=on lets it name an
    // existing file.
    bool CacheFileGiven = false;
    bool OverwriteCacheFile = false;
};

PluginConfig Config;
std::unique_ptr<CacheHost> Host;
std::unique_ptr<StatisticsLog> Log;
struct sigaction PreviousUsr1;
bool Usr1Installed = false;
bool ReadOnly = false;

void OnSampleSignal(int)
{
    StatisticsLog::RequestSample();
}

int ErrnoOf(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_INVALID_PARAMETER:
    case STATUS_END_OF_FILE:
        return EINVAL;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ENOMEM;
    case (NTSTATUS)0xC00000A2L:  // STATUS_MEDIA_WRITE_PROTECTED
        return EROFS;
    default:
        return EIO;
    }
}

int TessiroConfig(const char *Key, const char *Value)
{
    std::string key = Key, value = Value;
    std::string error;
    if (key == "upstream") {
        Config.Upstream.Address = value;
    } else if (key == "file") {
        Config.ImageFile = value;
    } else if (key == "connections") {
        char *end = nullptr;
        unsigned long n = strtoul(Value, &end, 10);
        if (!*Value || *end || n == 0 || n > 64) {
            nbdkit_error("connections must be 1 to 64");
            return -1;
        }
        Config.Upstream.Connections = unsigned(n);
    } else if (key == "letter") {
        if (value.size() != 1 || !isalpha(static_cast<unsigned char>(value[0])) || toupper(value[0]) < 'C') {
            nbdkit_error("letter must be one drive letter C to Z");
            return -1;
        }
        Config.Host.Letter = WCHAR(toupper(value[0]));
    } else if (key == "delay-scale") {
        char *end = nullptr;
        double scale = strtod(Value, &end);
        if (!*Value || *end || !(scale >= 0 && scale <= 10)) {  // NaN compares false
            nbdkit_error("delay-scale must be a number from 0 to 10");
            return -1;
        }
        Config.Host.DelayScale = scale;
    } else if (key == "cache-file-overwrite") {
        if (!ParseFlag(value, &Config.OverwriteCacheFile)) {
            nbdkit_error("cache-file-overwrite must be on or off");
            return -1;
        }
    } else if (key == "config") {
        Config.IniPath = value;
    } else if (key == "stats-log") {
        Config.Log.TextPath = value;
    } else if (key == "stats-csv") {
        Config.Log.CsvPath = value;
    } else if (key == "stats-interval" || key == "stats-csv-interval") {
        char *end = nullptr;
        unsigned long ms = strtoul(Value, &end, 10);
        if (!*Value || *end || ms < 10 || ms > 3600000) {
            nbdkit_error("%s is in milliseconds, 10 to 3600000", Key);
            return -1;
        }
        (key == "stats-interval" ? Config.Log.IntervalMs : Config.Log.CsvIntervalMs) = unsigned(ms);
    } else {
        CacheSettings probe;
        int applied = ApplySettingParameter(probe, key, value, &error);
        if (applied < 0) {
            nbdkit_error("%s", error.c_str());
            return -1;
        }
        if (applied == 0) {
            nbdkit_error("unknown parameter '%s'", Key);
            return -1;
        }
        Config.Overrides.emplace_back(key, value);
        Config.CacheFileGiven = Config.CacheFileGiven || key == "cache-file";
    }
    return 0;
}

int TessiroConfigComplete()
{
    if (Config.Upstream.Address.empty() == Config.ImageFile.empty()) {
        nbdkit_error("give exactly one of upstream=URI|SOCKET and file=IMAGE");
        return -1;
    }
    CacheSettings settings;
    std::string error;
    if (!Config.IniPath.empty() && !ReadIniSettings(Config.IniPath, Config.Host.Letter, &settings, &error)) {
        nbdkit_error("%s", error.c_str());
        return -1;
    }
    for (auto &kv : Config.Overrides)
        ApplySettingParameter(settings, kv.first, kv.second, &error);
    // What the driver would refuse with a bare status is refused here with
    // its reason. The path a cache.ini section leads to is the volume's own
    // cache file, which a crash may have left behind; only a cache-file=
    // given here must not name an existing file.
    if (!CheckStartSettings(settings, &error) ||
        (settings.SsdEnabled && Config.CacheFileGiven &&
         !CheckCacheFile(settings.CacheFile, Config.OverwriteCacheFile, &error))) {
        nbdkit_error("%s", error.c_str());
        return -1;
    }
    Config.Host.Settings = settings;
    return 0;
}

// The kernel's threads must be created in the process that serves, so
// everything starts after nbdkit has forked into the background.
int TessiroAfterFork()
{
    std::string error;
    std::shared_ptr<sim::SimBacking> backing;
    if (!Config.ImageFile.empty()) {
        FILE *f = fopen(Config.ImageFile.c_str(), "rb");
        if (!f || fseeko(f, 0, SEEK_END) != 0) {
            if (f)
                fclose(f);
            nbdkit_error("cannot open image %s", Config.ImageFile.c_str());
            return -1;
        }
        off_t size = ftello(f);
        fclose(f);
        backing = sim::FileBacking(Config.ImageFile, uint64_t(size));
    } else {
        backing = ConnectUpstream(Config.Upstream, &error);
        ReadOnly = backing && UpstreamIsReadOnly(*backing);
    }
    if (!backing) {
        nbdkit_error("upstream: %s", error.c_str());
        return -1;
    }
    Host = std::make_unique<CacheHost>();
    if (!Host->Start(Config.Host, backing, &error)) {
        nbdkit_error("%s", error.c_str());
        Host.reset();
        return -1;
    }
    const CacheSettings &s = Config.Host.Settings;
    nbdkit_debug("caching %llu bytes: memory %llu, allocation block %u, cache block %u, ssd %s",
                 (unsigned long long)Host->Size(), (unsigned long long)s.MemorySize, s.AllocateBlockSize,
                 s.CacheBlockSize, s.SsdEnabled ? Host->CacheFilePath().c_str() : "off");
    Log = std::make_unique<StatisticsLog>(*Host);
    if (!Log->Start(Config.Log, &error)) {
        nbdkit_error("%s", error.c_str());
        return -1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSampleSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    Usr1Installed = sigaction(SIGUSR1, &sa, &PreviousUsr1) == 0;
    return 0;
}

// nbdkit's exit: the volume's cache is stopped as the panel's Stop would
// (the cache file goes with it), then the drivers are unloaded.
void TessiroUnload()
{
    if (Usr1Installed)
        sigaction(SIGUSR1, &PreviousUsr1, nullptr);
    Usr1Installed = false;
    if (Log)
        Log->Stop();
    Log.reset();
    if (Host && !Host->Stop())
        nbdkit_debug("the host kernel reported leftovers at shutdown");
    Host.reset();
}

void *TessiroOpen(int)
{
    if (!Host || !Host->Running()) {
        nbdkit_error("the cache is not running");
        return nullptr;
    }
    return Host.get();
}

int64_t TessiroGetSize(void *)
{
    return int64_t(Host->Size());
}

int TessiroCanWrite(void *)
{
    return ReadOnly ? 0 : 1;
}

int TessiroCanFlush(void *)
{
    return 1;
}
int TessiroCanMultiConn(void *)
{
    return 1;
}

int Complete(NTSTATUS Status, ULONG_PTR Information, uint32_t Count)
{
    if (!NT_SUCCESS(Status)) {
        nbdkit_set_error(ErrnoOf(Status));
        return -1;
    }
    if (Information != Count) {
        nbdkit_set_error(EIO);
        return -1;
    }
    return 0;
}

int TessiroPread(void *, void *Buffer, uint32_t Count, uint64_t Offset, uint32_t)
{
    ULONG_PTR info = 0;
    NTSTATUS status = Host->Read(Offset, Buffer, Count, &info);
    return Complete(status, info, Count);
}

// Forced unit access is emulated by nbdkit with a flush after the write.
int TessiroPwrite(void *, const void *Buffer, uint32_t Count, uint64_t Offset, uint32_t)
{
    ULONG_PTR info = 0;
    NTSTATUS status = Host->Write(Offset, Buffer, Count, &info);
    return Complete(status, info, Count);
}

int TessiroFlush(void *, uint32_t)
{
    NTSTATUS status = Host->Flush();
    if (!NT_SUCCESS(status)) {
        nbdkit_set_error(EIO);
        return -1;
    }
    return 0;
}

int TessiroCanFua(void *)
{
    return NBDKIT_FUA_EMULATE;
}

// The cached volume is a disk: it transfers whole 512-byte sectors only. The
// plugin says so, and nbdkit's blocksize filter, stacked in front of it,
// serves clients that send unaligned requests.
int TessiroBlockSize(void *, uint32_t *Minimum, uint32_t *Preferred, uint32_t *Maximum)
{
    *Minimum = CacheHost::SectorSize;
    *Preferred = Config.Host.Settings.CacheBlockSize;
    *Maximum = 0xFFFFFFFFu;
    return 0;
}

struct nbdkit_plugin Plugin = [] {
    struct nbdkit_plugin p;
    memset(&p, 0, sizeof p);
    p.name = "tessiro8";
    p.longname = "Tessiro8 two-tier volume cache";
    p.version = "1.0";
    p.description = "caches an NBD export or image in the Tessiro8 driver's RAM and SSD tiers";
    p.unload = TessiroUnload;
    p.config = TessiroConfig;
    p.config_complete = TessiroConfigComplete;
    p.config_help = "upstream=URI|SOCKET     NBD export to cache (nbd://..., nbd+unix:///?socket=...)\n"
                    "file=IMAGE              or an image file to cache\n"
                    "connections=N           upstream connections (default 4)\n"
                    "memory=MB               memory tier size (default 1024)\n"
                    "allocate-block=MB       memory tier allocation block (default 32)\n"
                    "cache-block=KB          cache block size (default 64)\n"
                    "ssd=on|off              SSD tier (default off)\n"
                    "ssd-size=MB             SSD tier size, a multiple of 512 (default 1024)\n"
                    "cache-file=PATH         SSD tier cache file, a file that does not exist\n"
                    "                        (default $TMPDIR/tessiro8-PID.cache)\n"
                    "cache-file-overwrite=on let cache-file= name an existing file, which is then\n"
                    "                        overwritten and deleted when the cache stops\n"
                    "config=cache.ini        read the settings from the volume's cache.ini section\n"
                    "letter=C                drive letter of the volume (default C)\n"
                    "stats-log=PATH          append the panel's rows every interval and on SIGUSR1\n"
                    "stats-csv=PATH          raw counters every interval\n"
                    "stats-interval=MS       interval of the panel's rows (default 1000)\n"
                    "stats-csv-interval=MS   interval of the raw counters (default 1000)\n"
                    "delay-scale=F           factor on kernel delays (default 0.01)\n"
                    "Sizes take K, M or G (memory=256K). Limits, checked before the start:\n"
                    "  allocate-block and cache-block are powers of two;\n"
                    "  memory is used in whole allocation blocks (rounded down): at least one;\n"
                    "  ssd-size is used in whole 512M units (rounded down): at least one;\n"
                    "  the cache file gets the SSD tier's size and is deleted when the cache\n"
                    "  stops; nothing of the cache survives a restart; one volume per server.";
    p.after_fork = TessiroAfterFork;
    p.open = TessiroOpen;
    p.get_size = TessiroGetSize;
    p.can_write = TessiroCanWrite;
    p.can_flush = TessiroCanFlush;
    p.can_multi_conn = TessiroCanMultiConn;
    p.can_fua = TessiroCanFua;
    p.block_size = TessiroBlockSize;
    p.pread = TessiroPread;
    p.pwrite = TessiroPwrite;
    p.flush = TessiroFlush;
    p.errno_is_preserved = 0;
    return p;
}();

}  // namespace

NBDKIT_REGISTER_PLUGIN(Plugin)
