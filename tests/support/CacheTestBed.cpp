#include "CacheTestBed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace testbed {

namespace {

// The control device as user mode reaches it (\\.\Tessiro8 is \??\Tessiro8).
const wchar_t kControlDeviceName[] = L"\\??\\Tessiro8";

uint64_t PatternWord(uint64_t Index, uint32_t Seed)
{
    uint64_t x = (Index + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t(Seed) * 0xD1B54A32D192ED03ull);
    x ^= x >> 29;
    return x;
}

void CopyPath(WCHAR *Field, const std::u16string &Text)
{
    size_t n = Text.size() < CACHE_FILE_PATH_CHARS - 1 ? Text.size() : CACHE_FILE_PATH_CHARS - 1;
    for (size_t i = 0; i < n; ++i)
        Field[i] = (WCHAR)Text[i];
    Field[n] = 0;
}

}  // namespace

uint8_t PatternByte(uint64_t Offset, uint32_t Seed)
{
    return (uint8_t)(PatternWord(Offset >> 3, Seed) >> ((Offset & 7) * 8));
}

std::vector<uint8_t> Pattern(uint64_t Offset, size_t Length, uint32_t Seed)
{
    std::vector<uint8_t> out(Length);
    for (size_t i = 0; i < Length; ++i)
        out[i] = PatternByte(Offset + i, Seed);
    return out;
}

CacheTestBed::CacheTestBed(const BedOptions &Options)
{
    char tmpl[] = "/tmp/tessiro8-bed-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (!dir) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    CacheDir = dir;

    host::KernelConfig config;
    config.ManualTick = true;
    config.DelayScale = Options.DelayScale;
    host::KernelBoot(config);
    Up = true;
    sim::LoadSimVolumeDriver();
    MapCacheDrive(nullptr);

    if (Options.LoadCacheDriver) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Driver = host::LoadDriver(L"Tessiro8", DriverEntry, &status);
        if (!Driver)
            ADD_FAILURE() << "loading the cache driver failed: 0x" << std::hex << status;
    }
}

CacheTestBed::~CacheTestBed()
{
    if (Up)
        Shutdown();
    if (!CacheDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(CacheDir, ec);
    }
}

sim::SimVolume *CacheTestBed::AddVolume(WCHAR Letter, uint64_t Length, sim::Completion Mode, uint32_t Seed)
{
    sim::VolumeConfig config;
    config.Letter = Letter;
    config.Length = Length;
    config.Mode = Mode;
    sim::SimVolume *volume = AddVolume(config);
    if (volume)
        FillPattern(Letter, Seed);
    return volume;
}

void CacheTestBed::FillPattern(WCHAR Letter, uint32_t Seed)
{
    sim::SimVolume *volume = Volume(Letter);
    if (!volume)
        return;
    const uint64_t length = volume->Backing().Size();
    const size_t chunk = 1 << 20;
    std::vector<uint64_t> words(chunk / 8);
    for (uint64_t offset = 0; offset < length; offset += chunk) {
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = PatternWord((offset >> 3) + i, Seed);
        uint32_t n = (uint32_t)(length - offset < chunk ? length - offset : chunk);
        volume->Backing().Write(offset, words.data(), n);
    }
}

sim::SimVolume *CacheTestBed::AddVolume(const sim::VolumeConfig &Config)
{
    sim::SimVolume *volume = sim::CreateVolume(Config);
    if (!volume) {
        ADD_FAILURE() << "creating volume " << (char)Config.Letter << " failed";
        return nullptr;
    }
    Volumes[Config.Letter] = volume;
    return volume;
}

sim::SimVolume *CacheTestBed::Volume(WCHAR Letter) const
{
    auto it = Volumes.find(Letter);
    return it == Volumes.end() ? nullptr : it->second;
}

std::string CacheTestBed::HostCachePath(const std::string &Name) const
{
    return CacheDir + "/" + Name;
}

void CacheTestBed::MapCacheDrive(PDEVICE_OBJECT Device, uint64_t FreeBytes)
{
    host::UnmapFileDrive(kCacheLetter);
    host::FileDrive drive;
    drive.Letter = kCacheLetter;
    drive.HostDirectory = CacheDir;
    drive.Device = Device;
    drive.FreeBytes = FreeBytes;
    host::MapFileDrive(drive);
}

bool CacheTestBed::FileExists(const std::string &HostPath)
{
    std::error_code ec;
    return std::filesystem::exists(HostPath, ec);
}

CacheControlRequest CacheTestBed::BuildRequest(WCHAR Letter, bool Start, const StartSettings &Settings)
{
    CacheControlRequest request;
    memset(&request, 0, sizeof(request));
    request.DriveLetter = Letter;
    request.SsdEnabled = Settings.SsdEnabled ? 1 : 0;
    request.Start = Start ? 1 : 0;
    request.MemorySize = Settings.MemorySize;
    request.AllocateBlockSize = Settings.AllocateBlockSize;
    request.CacheBlockSize = Settings.CacheBlockSize;
    if (Settings.SsdEnabled) {
        request.SsdAutoGrow = Settings.SsdAutoGrow ? 1 : 0;
        request.SsdSize = Settings.SsdSize;
        request.SsdMaxSize = Settings.SsdMaxSize;
        std::u16string win32 = Settings.CacheFilePath;
        if (win32.empty()) {
            win32 = std::u16string(1, (char16_t)kCacheLetter) + u":\\cache-";
            win32 += (char16_t)Letter;
            win32 += u".dat";
        }
        CopyPath(request.CacheFilePath, u"\\??\\" + win32);
    }
    return request;
}

NTSTATUS CacheTestBed::RawControl(ULONG Code, const void *Input, ULONG InputLength, void *Output,
                                  ULONG OutputLength, ULONG_PTR *Information)
{
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = host::UserOpenDevice(kControlDeviceName, true, &file);
    if (!NT_SUCCESS(status))
        return status;
    ULONG_PTR information = 0;
    status = host::UserDeviceIoControl(file, Code, Input, InputLength, Output, OutputLength, &information);
    host::UserCloseDevice(file);
    if (Information)
        *Information = information;
    return status;
}

NTSTATUS CacheTestBed::Control(const CacheControlRequest &Request, ULONG Length)
{
    std::vector<uint8_t> input(Length > sizeof(Request) ? Length : sizeof(Request), 0);
    memcpy(input.data(), &Request, sizeof(Request));
    return RawControl(IOCTL_CACHE_CONTROL_VOLUME, input.data(), Length, nullptr, 0);
}

NTSTATUS CacheTestBed::StartCache(WCHAR Letter, const StartSettings &Settings)
{
    return Control(BuildRequest(Letter, true, Settings));
}

NTSTATUS CacheTestBed::StopCache(WCHAR Letter)
{
    return Control(BuildRequest(Letter, false));
}

NTSTATUS CacheTestBed::QueryStats(WCHAR Letter, CacheStatistics *Statistics)
{
    ULONG input = (ULONG)(USHORT)Letter;
    CacheStatistics reply;
    NTSTATUS status = RawControl(IOCTL_CACHE_QUERY_STATISTICS, &input, sizeof(input), &reply, sizeof(reply));
    if (NT_SUCCESS(status))
        *Statistics = reply;
    return status;
}

std::optional<CacheStatistics> CacheTestBed::Stats(WCHAR Letter)
{
    CacheStatistics statistics;
    if (!NT_SUCCESS(QueryStats(Letter, &statistics)))
        return std::nullopt;
    return statistics;
}

NTSTATUS CacheTestBed::QueryVersion(ULONG *Version)
{
    ULONG value = 0;
    NTSTATUS status = RawControl(IOCTL_CACHE_QUERY_VERSION, nullptr, 0, &value, sizeof(value));
    *Version = value;
    return status;
}

NTSTATUS CacheTestBed::Read(WCHAR Letter, uint64_t Offset, void *Buffer, ULONG Length, ULONG_PTR *Information,
                            bool MapBuffer)
{
    sim::SimVolume *volume = Volume(Letter);
    if (!volume)
        return STATUS_NO_SUCH_DEVICE;
    ULONG_PTR information = 0;
    NTSTATUS status =
        host::SendReadWrite(volume->Device(), IRP_MJ_READ, Buffer, Length, Offset, &information, MapBuffer);
    if (Information)
        *Information = information;
    return status;
}

NTSTATUS CacheTestBed::Write(WCHAR Letter, uint64_t Offset, const void *Buffer, ULONG Length,
                             ULONG_PTR *Information, bool MapBuffer)
{
    sim::SimVolume *volume = Volume(Letter);
    if (!volume)
        return STATUS_NO_SUCH_DEVICE;
    ULONG_PTR information = 0;
    NTSTATUS status = host::SendReadWrite(volume->Device(), IRP_MJ_WRITE, const_cast<void *>(Buffer), Length,
                                          Offset, &information, MapBuffer);
    if (Information)
        *Information = information;
    return status;
}

std::vector<uint8_t> CacheTestBed::ReadBytes(WCHAR Letter, uint64_t Offset, ULONG Length)
{
    std::vector<uint8_t> bytes(Length);
    ULONG_PTR information = 0;
    NTSTATUS status = Read(Letter, Offset, bytes.data(), Length, &information);
    EXPECT_EQ(status, STATUS_SUCCESS) << "read of " << Length << " bytes at " << Offset;
    EXPECT_EQ(information, Length);
    return bytes;
}

std::vector<uint8_t> CacheTestBed::BackingBytes(WCHAR Letter, uint64_t Offset, ULONG Length)
{
    std::vector<uint8_t> bytes(Length);
    sim::SimVolume *volume = Volume(Letter);
    if (volume) {
        EXPECT_EQ(volume->Backing().Read(Offset, bytes.data(), Length), STATUS_SUCCESS);
    }
    return bytes;
}

void CacheTestBed::WriteBacking(WCHAR Letter, uint64_t Offset, const std::vector<uint8_t> &Bytes)
{
    sim::SimVolume *volume = Volume(Letter);
    if (volume) {
        EXPECT_EQ(volume->Backing().Write(Offset, Bytes.data(), (uint32_t)Bytes.size()), STATUS_SUCCESS);
    }
}

PDRIVER_OBJECT CacheTestBed::VolumeDriver() const
{
    return sim::SimVolumeDriver();
}

bool CacheTestBed::UnloadCacheDriver()
{
    if (!Driver)
        return true;
    PDRIVER_OBJECT driver = Driver;
    Driver = nullptr;
    return host::UnloadDriver(driver, {CACHE_POOL_TAG});
}

bool CacheTestBed::Shutdown()
{
    if (!Up)
        return true;
    bool clean = UnloadCacheDriver();
    for (auto &entry : Volumes)
        sim::RemoveVolume(entry.second);
    Volumes.clear();
    sim::UnloadSimVolumeDriver();
    host::UnmapFileDrive(kCacheLetter);
    host::PoolClearFaults();
    clean = host::KernelShutdown() && clean;
    Up = false;
    return clean;
}

void CacheDriverTest::SetUp()
{
    TestBed = std::make_unique<CacheTestBed>(Options());
}

void CacheDriverTest::TearDown()
{
    if (!TestBed)
        return;
    host::PoolClearFaults();
    host::PhysicalSetFaults(host::PhysicalFaults());
    EXPECT_TRUE(TestBed->UnloadCacheDriver()) << "the cache driver left pool allocations or devices";
    EXPECT_TRUE(TestBed->Shutdown()) << "the kernel was not clean at shutdown";
    TestBed.reset();
}

}  // namespace testbed
