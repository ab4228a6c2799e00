#include "CacheHost.h"

#include <HostKernel.h>
#include <driver/Tessiro8.h>
#include <driver/engine/CacheBase.h>  // the driver's pool tag

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace nbdcache {
namespace {

const WCHAR ControlDeviceName[] = L"\\??\\Tessiro8";

std::string DirectoryOf(const std::string &Path)
{
    size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return Path.substr(0, slash);
}

std::string BaseNameOf(const std::string &Path)
{
    size_t slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string Hex(NTSTATUS Status)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", unsigned(Status));
    return text;
}

}  // namespace

CacheHost::~CacheHost()
{
    Stop();
}

bool CacheHost::Fail(const std::string &What, std::string *Error)
{
    if (Error)
        *Error = What;
    Stop();
    return false;
}

bool CacheHost::Start(const HostOptions &Options, std::shared_ptr<sim::SimBacking> NewBacking,
                      std::string *Error)
{
    if (Up || Booted)
        return Fail("the cache host is already running", Error);
    Backing = std::move(NewBacking);
    // A disk has whole sectors: the bytes of a partial last sector are out of
    // reach, as nbdkit's blocksize filter leaves them too.
    Length = Backing->Size() & ~uint64_t(SectorSize - 1);
    DriveLetter = Options.Letter;
    if (Length == 0)
        return Fail("the backing store holds no whole sector", Error);

    host::KernelConfig config;
    config.ManualTick = false;
    config.DelayScale = Options.DelayScale;
    // The page store switches chunks without host calls; the strict
    // fault-on-stale-access check is for the tests.
    config.StrictMappings = false;
    // The host is an x86-64 machine: its pool is the 64-bit platform's.
    config.NonPagedPoolBytes = host::X64NonPagedPoolBytes;
    host::KernelBoot(config);
    Booted = true;

    if (!sim::LoadSimVolumeDriver())
        return Fail("cannot load the simulated volume driver", Error);
    NTSTATUS status = STATUS_SUCCESS;
    Driver = host::LoadDriver(L"Tessiro8", DriverEntry, &status);
    if (!Driver)
        return Fail("cannot load the cache driver: " + Hex(status), Error);

    sim::VolumeConfig volume;
    volume.Letter = DriveLetter;
    volume.Length = Length;
    volume.Backing = Backing;
    volume.Mode = sim::Completion::Immediate;
    // A raw network disk: no file system is mounted that would refuse
    // writes arriving while the volume is not cached.
    volume.FileSystemMounted = false;
    Volume = sim::CreateVolume(volume);
    if (!Volume)
        return Fail("cannot create the volume (drive letter taken?)", Error);
    Device = Volume->Device();

    WCHAR row[3] = {WCHAR(DriveLetter & ~0x20), L':', 0};
    Label = std::u16string(reinterpret_cast<const char16_t *>(row)) + u"  [NBD]";

    const CacheSettings &settings = Options.Settings;
    if (settings.SsdEnabled) {
        std::string path = settings.CacheFile;
        if (path.empty()) {
            const char *tmp = getenv("TMPDIR");
            path =
                std::string(tmp && *tmp ? tmp : "/tmp") + "/tessiro8-" + std::to_string(getpid()) + ".cache";
        }
        char resolved[PATH_MAX];
        std::string dir = DirectoryOf(path);
        if (!realpath(dir.c_str(), resolved))
            return Fail("cache file directory does not exist: " + dir, Error);
        CacheFileHost = std::string(resolved) + "/" + BaseNameOf(path);
        // The cache file lives on a drive letter of its own, mapped to its
        // host directory, as the SSD would on the client.
        CacheDriveLetter = DriveLetter == L'S' || DriveLetter == L's' ? L'T' : L'S';
        host::FileDrive drive;
        drive.Letter = CacheDriveLetter;
        drive.HostDirectory = resolved;
        host::MapFileDrive(drive);
        CacheFileWin32 =
            std::u16string(1, char16_t(CacheDriveLetter)) + u":\\" + host::U16(BaseNameOf(path).c_str());
        if (CacheFileWin32.size() > CACHE_WIN32_PATH_MAX)
            return Fail("cache file name too long", Error);
    }

    status = SendStart(settings);
    if (!NT_SUCCESS(status))
        return Fail("the driver refused to start the cache: " + Hex(status), Error);
    CacheStarted = true;
    Up = true;
    return true;
}

NTSTATUS CacheHost::Control(ULONG Code, const void *Input, ULONG InputLength, void *Output,
                            ULONG OutputLength, ULONG_PTR *Information)
{
    std::lock_guard<std::mutex> lock(ControlLock);
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = host::UserOpenDevice(ControlDeviceName, true, &file);
    if (!NT_SUCCESS(status))
        return status;
    ULONG_PTR info = 0;
    status = host::UserDeviceIoControl(file, Code, Input, InputLength, Output, OutputLength, &info);
    host::UserCloseDevice(file);
    if (Information)
        *Information = info;
    return status;
}

// The start request as the control panel's request rule builds it from a
// volume's settings: zeroed, and the SSD fields only with the SSD tier.
NTSTATUS CacheHost::SendStart(const CacheSettings &Settings)
{
    CacheControlRequest request;
    memset(&request, 0, sizeof request);
    request.DriveLetter = WCHAR(DriveLetter & ~0x20);
    request.Start = 1;
    request.SsdEnabled = Settings.SsdEnabled ? 1 : 0;
    request.MemorySize = Settings.MemorySize;
    request.AllocateBlockSize = Settings.AllocateBlockSize;
    request.CacheBlockSize = Settings.CacheBlockSize;
    if (Settings.SsdEnabled) {
        request.SsdSize = Settings.SsdSize;
        std::u16string nt = u"\\??\\" + CacheFileWin32;
        memcpy(request.CacheFilePath, nt.data(), nt.size() * sizeof(char16_t));
    }
    return Control(IOCTL_CACHE_CONTROL_VOLUME, &request, sizeof request, nullptr, 0, nullptr);
}

NTSTATUS CacheHost::SendStop()
{
    CacheControlRequest request;
    memset(&request, 0, sizeof request);
    request.DriveLetter = WCHAR(DriveLetter & ~0x20);
    request.Start = 0;
    return Control(IOCTL_CACHE_CONTROL_VOLUME, &request, sizeof request, nullptr, 0, nullptr);
}

bool CacheHost::QueryStatistics(CacheStatistics *Statistics)
{
    if (!Up)
        return false;
    ULONG letter = ULONG(DriveLetter & ~0x20);
    CacheStatistics reply;
    ULONG_PTR info = 0;
    NTSTATUS status =
        Control(IOCTL_CACHE_QUERY_STATISTICS, &letter, sizeof letter, &reply, sizeof reply, &info);
    if (!NT_SUCCESS(status) || info < sizeof reply)
        return false;
    *Statistics = reply;
    return true;
}

NTSTATUS CacheHost::Read(uint64_t Offset, void *Buffer, uint32_t Count, ULONG_PTR *Information)
{
    return host::SendReadWrite(Device, IRP_MJ_READ, Buffer, Count, Offset, Information);
}

NTSTATUS CacheHost::Write(uint64_t Offset, const void *Buffer, uint32_t Count, ULONG_PTR *Information)
{
    return host::SendReadWrite(Device, IRP_MJ_WRITE, const_cast<void *>(Buffer), Count, Offset, Information);
}

// Writes complete only after the volume has taken them, so a flush has
// nothing of the cache's to write: it asks the backing store to make the
// writes durable.
NTSTATUS CacheHost::Flush()
{
    return Backing ? Backing->Flush() : STATUS_SUCCESS;
}

bool CacheHost::Stop()
{
    bool clean = true;
    Up = false;
    if (CacheStarted) {
        clean = NT_SUCCESS(SendStop()) && clean;
        CacheStarted = false;
    }
    if (Driver) {
        clean = host::UnloadDriver(Driver, {CACHE_POOL_TAG}) && clean;
        Driver = nullptr;
    }
    if (Volume) {
        sim::RemoveVolume(Volume);
        Volume = nullptr;
        Device = nullptr;
    }
    if (Booted) {
        sim::UnloadSimVolumeDriver();
        if (CacheDriveLetter)
            host::UnmapFileDrive(CacheDriveLetter);
        CacheDriveLetter = 0;
        clean = host::KernelShutdown() && clean;
        Booted = false;
    }
    Backing.reset();
    return clean;
}

}  // namespace nbdcache
