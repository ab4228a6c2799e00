// Start and stop of a volume's cache: what a failed start releases, the
// volume table's slots, the one-time take-over of the volume driver's
// entries, where a cache file may lie, and unload.
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "SpiedDriverTest.h"

namespace testbed {
namespace {

// A volume of any length that reads as zeros and keeps nothing.
class ZeroBacking : public sim::SimBacking {
public:
    explicit ZeroBacking(uint64_t Size) : Bytes(Size) {}
    uint64_t Size() const override { return Bytes; }
    NTSTATUS Read(uint64_t, void *Buffer, uint32_t Length) override
    {
        memset(Buffer, 0, Length);
        return STATUS_SUCCESS;
    }
    NTSTATUS Write(uint64_t, const void *, uint32_t) override { return STATUS_SUCCESS; }

private:
    uint64_t Bytes;
};

class VolumeLifecycleTest : public SpiedDriverTest {
protected:
    size_t LivePool() { return host::PoolLiveAllocations(CACHE_POOL_TAG); }
};

TEST_F(VolumeLifecycleTest, StartStopStartBeginsEmptyAndTakesOverOnce)
{
    Bed().AddVolume(L'c', 8 * MiB);
    PDRIVER_OBJECT volumeDriver = Bed().VolumeDriver();

    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    EXPECT_EQ(volumeDriver->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)InterceptReadWrite);
    EXPECT_EQ(volumeDriver->MajorFunction[IRP_MJ_WRITE], (PDRIVER_DISPATCH)InterceptReadWrite);
    EXPECT_EQ(DriverGlobals.HookedDriver, volumeDriver);
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 128 * KiB), Pattern(0, 128 * KiB));
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 1u);
    EXPECT_GT(Bed().Stats(L'c')->MemoryBlocksUsed, 0u);

    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    // Stopping every volume leaves the take-over in place.
    EXPECT_EQ(volumeDriver->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)InterceptReadWrite);

    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    std::optional<CacheStatistics> stats = Bed().Stats(L'c');
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->ReadRequests, 0u);
    EXPECT_EQ(stats->ReadBytes, 0u);
    EXPECT_EQ(stats->MemoryBlocksUsed, 0u);
    EXPECT_EQ(stats->MemoryHits, 0u);
    // A second take-over would have saved the interception as the original.
    EXPECT_EQ(DriverGlobals.SavedReadDispatch, (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
    EXPECT_EQ(DriverGlobals.SavedWriteDispatch, (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
    // The first read after the restart comes from the volume again.
    Spy.Clear();
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB));
    EXPECT_EQ(Bed().Stats(L'c')->MemoryHits, 0u);
    EXPECT_EQ(Spy.Count(), 1u);

    // Unload after a stop still gives the entries back.
    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    EXPECT_TRUE(Bed().UnloadCacheDriver());
    EXPECT_EQ(volumeDriver->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
    EXPECT_EQ(volumeDriver->MajorFunction[IRP_MJ_WRITE], (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
}

TEST_F(VolumeLifecycleTest, UnloadWithoutVolumesTouchesNoOtherDriver)
{
    Bed().AddVolume(L'c', 1 * MiB);
    PDRIVER_OBJECT volumeDriver = Bed().VolumeDriver();
    std::vector<PDRIVER_DISPATCH> before(volumeDriver->MajorFunction,
                                         volumeDriver->MajorFunction + IRP_MJ_MAXIMUM_FUNCTION + 1);
    EXPECT_TRUE(Bed().UnloadCacheDriver());
    EXPECT_EQ(std::vector<PDRIVER_DISPATCH>(volumeDriver->MajorFunction,
                                            volumeDriver->MajorFunction + IRP_MJ_MAXIMUM_FUNCTION + 1),
              before);
    EXPECT_EQ(host::FindDevice(L"\\Device\\Tessiro8"), nullptr);
    PFILE_OBJECT file = nullptr;
    EXPECT_FALSE(NT_SUCCESS(host::UserOpenDevice(L"\\??\\Tessiro8", true, &file)));
}

TEST_F(VolumeLifecycleTest, UnloadStopsStartedVolumesAndDeletesTheirFiles)
{
    Bed().AddVolume(L'c', 8 * MiB);
    Bed().AddVolume(L'd', 8 * MiB);
    ASSERT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
    ASSERT_EQ(Bed().StartCache(L'd', Small()), STATUS_SUCCESS);
    EXPECT_TRUE(CacheTestBed::FileExists(Bed().HostCachePath("cache-c.dat")));
    EXPECT_EQ(Bed().ReadBytes(L'd', 4096, 8192), Pattern(4096, 8192));
    EXPECT_TRUE(Bed().UnloadCacheDriver());
    EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-c.dat")));
    EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
    EXPECT_EQ(Bed().VolumeDriver()->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
    // The volume is served by its own driver again.
    EXPECT_EQ(Bed().ReadBytes(L'd', 4096, 8192), Pattern(4096, 8192));
}

TEST_F(VolumeLifecycleTest, LettersFoldAndFreedSlotsAreReused)
{
    for (WCHAR letter : {L'c', L'd', L'e', L'f'})
        Bed().AddVolume(letter, 1 * MiB);
    ASSERT_EQ(Bed().StartCache(L'C', Small()), STATUS_SUCCESS);
    ASSERT_EQ(Bed().StartCache(L'd', Small()), STATUS_SUCCESS);
    ASSERT_EQ(Bed().StartCache(L'e', Small()), STATUS_SUCCESS);

    ASSERT_NE(FindVolumeByLetter(L'c'), nullptr);
    EXPECT_EQ(FindVolumeByLetter(L'c'), FindVolumeByLetter(L'C'));
    EXPECT_EQ(FindVolumeByLetter(L'c')->DriveLetter, L'c');
    EXPECT_EQ(FindVolumeByLetter(L'D'), FindVolumeByLetter(L'd'));
    EXPECT_EQ(FindVolumeByLetter(L'1'), nullptr);

    ASSERT_EQ(Bed().StopCache(L'D'), STATUS_SUCCESS);
    ASSERT_NE(FindVolumeByLetter(L'e'), nullptr);
    EXPECT_EQ(FindVolumeByLetter(L'e')->SlotIndex, 2u);
    EXPECT_EQ(DriverGlobals.VolumeTable[1], nullptr);
    ASSERT_EQ(Bed().StartCache(L'f', Small()), STATUS_SUCCESS);
    EXPECT_EQ(FindVolumeByLetter(L'f')->SlotIndex, 1u);
    EXPECT_EQ(DriverGlobals.VolumeTable[1], FindVolumeByLetter(L'f'));
    EXPECT_EQ(FindVolumeByDevice(Bed().Volume(L'f')->Device()), FindVolumeByLetter(L'f'));
}

TEST_F(VolumeLifecycleTest, SeventeenthStartIsRefusedBeforeAcquiringAnything)
{
    StartSettings tiny;
    tiny.MemorySize = 64 * KiB;
    tiny.AllocateBlockSize = 64 * KiB;
    tiny.CacheBlockSize = 64 * KiB;
    const WCHAR letters[] = L"cdefghijklmnopqrs";
    for (int i = 0; i < 17; ++i)
        Bed().AddVolume(letters[i], 1 * MiB);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(Bed().StartCache(letters[i], tiny), STATUS_SUCCESS) << (char)letters[i];
    size_t pool = LivePool();
    uint64_t pages = host::PhysicalBytesInUse();
    EXPECT_EQ(Bed().StartCache(letters[16], tiny), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LivePool(), pool);
    EXPECT_EQ(host::PhysicalBytesInUse(), pages);
    ASSERT_EQ(Bed().StopCache(L'h'), STATUS_SUCCESS);
    EXPECT_EQ(Bed().StartCache(letters[16], tiny), STATUS_SUCCESS);
}

// Each failing step of a start: its status, and nothing left behind.
TEST_F(VolumeLifecycleTest, FailedStartsReleaseWhatTheyAcquired)
{
    Bed().AddVolume(L'c', 8 * MiB);
    const std::string cacheFile = Bed().HostCachePath("cache-c.dat");
    struct FailCase {
        const char *Name;
        std::function<void()> Arrange;
        StartSettings Settings;
        NTSTATUS Status;  // 0: any failure status other than the listed ones
    };
    StartSettings missingDirectory = StartSettings::WithSsd();
    missingDirectory.CacheFilePath = u"S:\\no such directory\\c.dat";
    // clang-format off
    const FailCase cases[] = {
        {"unknown letter", [] {}, Small(), 0},
        {"transfer buffer", [] { host::PoolFailAfter(CACHE_POOL_TAG, 0); }, StartSettings::WithSsd(),
         STATUS_UNSUCCESSFUL},
        {"cache file in a missing directory", [] {}, missingDirectory, 0},
        {"cache file cannot get its length",
         [this] { Bed().MapCacheDrive(nullptr, 256 * MiB); }, StartSettings::WithSsd(), STATUS_UNSUCCESSFUL},
        {"memory tier cannot be set up",
         [] {
             host::PhysicalFaults faults;
             faults.FailAfter = 0;
             host::PhysicalSetFaults(faults);
         },
         StartSettings::WithSsd(), STATUS_UNSUCCESSFUL},
    };
    // clang-format on
    const size_t baseline = LivePool();
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.Name);
        c.Arrange();
        WCHAR letter = std::string(c.Name) == "unknown letter" ? L'q' : L'c';
        for (int attempt = 0; attempt < 2; ++attempt) {  // a second try behaves the same
            NTSTATUS status = Bed().StartCache(letter, c.Settings);
            if (c.Status != 0) {
                EXPECT_EQ(status, c.Status);
            } else {
                EXPECT_FALSE(NT_SUCCESS(status) || status == STATUS_UNSUCCESSFUL) << std::hex << status;
            }
        }
        host::PoolClearFaults();
        host::PhysicalSetFaults(host::PhysicalFaults());
        Bed().MapCacheDrive(nullptr);
        EXPECT_FALSE(Bed().Stats(letter).has_value());
        EXPECT_EQ(LivePool(), baseline);
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_FALSE(CacheTestBed::FileExists(cacheFile)) << "the cache file was left behind";
        EXPECT_EQ(DriverGlobals.HookInstalled, 0) << "a failed start took over the volume driver";
    }
    // Afterwards the same volume starts normally.
    EXPECT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
}

// Every allocation of a start failing in turn: each failure is reported and
// releases all that came before it.
TEST_F(VolumeLifecycleTest, EveryAllocationFailureIsReleased)
{
    Bed().AddVolume(L'c', 8 * MiB);
    const size_t baseline = LivePool();
    std::set<NTSTATUS> statuses;
    for (long n = 0; n < 64; ++n) {
        SCOPED_TRACE(n);
        host::PoolFailAfter(CACHE_POOL_TAG, n);
        NTSTATUS status = Bed().StartCache(L'c', StartSettings::WithSsd());
        host::PoolClearFaults();
        if (status == STATUS_SUCCESS) {
            EXPECT_GT(n, 3) << "a start needs at least the buffer, store, context and bitmaps";
            ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
            break;
        }
        statuses.insert(status);
        EXPECT_TRUE(status == STATUS_UNSUCCESSFUL || status == STATUS_INSUFFICIENT_RESOURCES)
            << std::hex << status;
        EXPECT_EQ(LivePool(), baseline);
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-c.dat")));
    }
    EXPECT_TRUE(statuses.count(STATUS_UNSUCCESSFUL));            // the transfer buffer
    EXPECT_TRUE(statuses.count(STATUS_INSUFFICIENT_RESOURCES));  // store record, context, bitmaps
}

TEST_F(VolumeLifecycleTest, LeftoverCacheFileIsReusedAndDeletedAtStop)
{
    Bed().AddVolume(L'c', 8 * MiB);
    const std::string path = Bed().HostCachePath("cache-c.dat");
    {
        std::ofstream(path) << "left over from a power loss";
    }
    ASSERT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ((uint64_t)file.tellg(), 512ull * MiB);
    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    EXPECT_FALSE(CacheTestBed::FileExists(path));
}

// A cache file's I/O runs on a worker thread; on a cached volume it would be
// queued to a worker that waits for it.
TEST_F(VolumeLifecycleTest, CacheFileMustNotLieOnACachedVolume)
{
    Bed().AddVolume(L'c', 8 * MiB);
    Bed().AddVolume(L'd', 8 * MiB);
    Bed().MapCacheDrive(Bed().Volume(L'd')->Device());  // S: lies on volume d
    const size_t baseline = LivePool();
    auto refused = [&](WCHAR letter, const StartSettings &settings) {
        EXPECT_EQ(Bed().StartCache(letter, settings), STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(Bed().Stats(letter).has_value());
    };

    // On the volume being started.
    refused(L'd', StartSettings::WithSsd());
    EXPECT_EQ(LivePool(), baseline);
    EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-d.dat")));

    // On another cached volume.
    ASSERT_EQ(Bed().StartCache(L'd', Small()), STATUS_SUCCESS);
    refused(L'c', StartSettings::WithSsd());
    EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-c.dat")));
    ASSERT_EQ(Bed().StopCache(L'd'), STATUS_SUCCESS);

    // The volume that holds a cached volume's cache file.
    ASSERT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
    refused(L'd', Small());
    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    EXPECT_EQ(Bed().StartCache(L'd', Small()), STATUS_SUCCESS);
}

// One volume under two letters is one device. Its requests all reach the
// context found first; a second context would keep copies that writes through
// the first never refresh, and serve them once the first is stopped.
TEST_F(VolumeLifecycleTest, VolumeUnderASecondLetterIsNotCachedTwice)
{
    Bed().AddVolume(L'c', 8 * MiB);
    const std::u16string device = Bed().Volume(L'c')->DeviceName();
    UNICODE_STRING linkName, deviceName;
    RtlInitUnicodeString(&linkName, (PCWSTR)u"\\??\\e:");
    RtlInitUnicodeString(&deviceName, (PCWSTR)device.c_str());
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &deviceName), STATUS_SUCCESS);

    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    const size_t pool = LivePool();
    EXPECT_EQ(Bed().StartCache(L'E', Small()), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Bed().Stats(L'e').has_value());
    EXPECT_EQ(LivePool(), pool);

    // Once c is stopped, the volume may be cached under its other letter.
    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    ASSERT_EQ(Bed().StartCache(L'e', Small()), STATUS_SUCCESS);
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB));
    EXPECT_EQ(Bed().Stats(L'e')->ReadRequests, 1u);
    EXPECT_EQ(Bed().StartCache(L'c', Small()), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Bed().StopCache(L'e'), STATUS_SUCCESS);
    IoDeleteSymbolicLink(&linkName);
}

// The take-over hooks the driver of the first cached volume. A volume of
// another volume driver never passes the interception, so caching it would
// only pretend: its start is refused, also after every volume is stopped, and
// its requests keep reaching its own driver.
TEST_F(VolumeLifecycleTest, VolumeOfAnotherDriverIsRefused)
{
    Bed().AddVolume(L'c', 8 * MiB);
    sim::VolumeConfig other;
    other.Letter = L'e';
    other.Length = 8 * MiB;
    other.Driver = 1;
    Bed().AddVolume(other);
    Bed().FillPattern(L'e', 5);
    PDEVICE_OBJECT device = Bed().Volume(L'e')->Device();
    ASSERT_NE(device->DriverObject, Bed().VolumeDriver());

    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    const size_t pool = LivePool();
    const long references = host::ObjectReferences(device);
    for (bool cStarted : {true, false}) {
        SCOPED_TRACE(cStarted ? "c started" : "c stopped");
        EXPECT_EQ(Bed().StartCache(L'e', StartSettings::WithSsd()), STATUS_NOT_SUPPORTED);
        EXPECT_FALSE(Bed().Stats(L'e').has_value());
        EXPECT_EQ(LivePool(), cStarted ? pool : LivePool());
        EXPECT_EQ(host::ObjectReferences(device), references);
        EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-e.dat")));
        EXPECT_EQ(Bed().ReadBytes(L'e', 0, 64 * KiB), Pattern(0, 64 * KiB, 5));
        EXPECT_EQ(device->DriverObject->MajorFunction[IRP_MJ_READ],
                  sim::SimVolumeDriver(1)->MajorFunction[IRP_MJ_READ]);
        EXPECT_NE(device->DriverObject->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)InterceptReadWrite);
        if (cStarted) {
            ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
        }
    }
}

// While a volume is cached its device object is referenced, so that its
// address cannot pass to another device whose requests the cache would then
// take for the volume's. Every handle of a start is a kernel handle: the
// start runs in the control panel's thread, whose process must not get them.
TEST_F(VolumeLifecycleTest, CachedDeviceIsReferencedAndStartHandlesAreKernelHandles)
{
    Bed().AddVolume(L'c', 8 * MiB);
    PDEVICE_OBJECT device = Bed().Volume(L'c')->Device();
    const long references = host::ObjectReferences(device);
    const uint64_t userHandles = host::UserProcessHandlesCreated();

    ASSERT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
    EXPECT_EQ(host::ObjectReferences(device), references + 1);
    EXPECT_EQ(host::UserProcessHandlesCreated(), userHandles);
    // The worker uses the cache file's handle in the system process.
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB));
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB));
    EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB));
    EXPECT_EQ(Bed().Stats(L'c')->SsdBlocksUsed, 1u);

    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    EXPECT_EQ(host::ObjectReferences(device), references);

    // A refused start gives its reference back too.
    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    EXPECT_EQ(Bed().StartCache(L'c', Small()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::ObjectReferences(device), references + 1);
    ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    EXPECT_EQ(host::UserProcessHandlesCreated(), userHandles);
}

// A volume on a partition of a disk has a device stack below it: the volume
// driver passes each request down, and every request the cache builds for
// the volume must carry a stack location for each device.
TEST_F(VolumeLifecycleTest, VolumeWithADeviceBelowIsCached)
{
    sim::VolumeConfig config;
    config.Letter = L'c';
    config.Length = 8 * MiB;
    config.DiskBelow = true;
    config.FileSystemMounted = false;
    Bed().AddVolume(config);
    Bed().FillPattern(L'c');
    ASSERT_EQ(Bed().Volume(L'c')->Device()->StackSize, 2);

    for (sim::Completion mode : {sim::Completion::Immediate, sim::Completion::Pending}) {
        SCOPED_TRACE(mode == sim::Completion::Pending ? "pending" : "immediate");
        Bed().Volume(L'c')->SetCompletion(mode);
        ASSERT_EQ(Bed().StartCache(L'c', StartSettings::WithSsd()), STATUS_SUCCESS);
        EXPECT_EQ(Bed().ReadBytes(L'c', 64 * KiB, 128 * KiB), Pattern(64 * KiB, 128 * KiB));
        std::vector<uint8_t> data(4096, 0x6B);
        ASSERT_EQ(Bed().Write(L'c', 64 * KiB + 4096, data.data(), 4096), STATUS_SUCCESS);
        EXPECT_EQ(Bed().BackingBytes(L'c', 64 * KiB + 4096, 4096), data);
        std::vector<uint8_t> expected = Pattern(64 * KiB, 128 * KiB);
        std::memcpy(expected.data() + 4096, data.data(), data.size());
        EXPECT_EQ(Bed().ReadBytes(L'c', 64 * KiB, 128 * KiB), expected);
        EXPECT_EQ(Bed().Stats(L'c')->MemoryHits, 1u);
        // The disk below served every transfer.
        bool diskServed = false;
        for (const SpyRecord &r : Spy.Records())
            diskServed |= r.Device == Bed().Volume(L'c')->DiskDevice();
        EXPECT_TRUE(diskServed);
        ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
        Bed().FillPattern(L'c');
        Spy.Clear();
    }
}

// Block numbers are 32-bit; a volume of more blocks is refused rather than
// indexed through a truncated bitmap.
TEST_F(VolumeLifecycleTest, VolumeWithMoreBlocksThanBlockNumbersIsRefused)
{
    sim::VolumeConfig config;
    config.Letter = L'c';
    config.Length = 8 * GiB;
    config.Backing = std::make_shared<ZeroBacking>(config.Length);
    Bed().AddVolume(config);
    StartSettings settings = Small();
    settings.CacheBlockSize = 1;
    const size_t baseline = LivePool();
    EXPECT_EQ(Bed().StartCache(L'c', settings), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LivePool(), baseline);
    settings.CacheBlockSize = 2;  // exactly 2^32 blocks: numbers 0 to 2^32 - 1
    EXPECT_EQ(Bed().StartCache(L'c', settings), STATUS_UNSUCCESSFUL);
    settings.CacheBlockSize = 4 * KiB;
    EXPECT_EQ(Bed().StartCache(L'c', settings), STATUS_SUCCESS);
}

TEST_F(VolumeLifecycleTest, StatisticsDescribeTheVolume)
{
    sim::VolumeConfig config;
    config.Letter = L'c';
    config.Length = 1000000000000ull;
    config.Backing = std::make_shared<ZeroBacking>(config.Length);
    Bed().AddVolume(config);
    Bed().AddVolume(L'd', 8 * MiB);

    ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    PVolumeCacheContext context = FindVolumeByLetter(L'c');
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(Bed().Stats(L'c')->VolumeSizeGB, 931u);
    EXPECT_EQ(context->Cache.VolumeLength, 1000000000000ull);
    EXPECT_EQ(context->VolumeDevice, Bed().Volume(L'c')->Device());
    EXPECT_EQ(context->Cache.Memory.SlotCount, 64u);
    EXPECT_EQ(context->Cache.Ssd.SlotCount, 0u);
    EXPECT_EQ(context->Cache.Ssd.Bitmap, nullptr);
    EXPECT_EQ(context->Cache.Storage.CacheFile, nullptr);

    ASSERT_EQ(Bed().StartCache(L'd', StartSettings::WithSsd(1024ull * MiB)), STATUS_SUCCESS);
    context = FindVolumeByLetter(L'd');
    EXPECT_EQ(context->Cache.Ssd.SlotCount, 1024u * MiB / (64 * KiB));
    EXPECT_NE(context->Cache.Ssd.Bitmap, nullptr);
    EXPECT_EQ(Bed().Stats(L'd')->SsdEnabled, 1);
}

}  // namespace
}  // namespace testbed
