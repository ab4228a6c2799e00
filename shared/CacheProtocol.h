// The control protocol between the control panel and the cache driver.
//
// One definition for both programs: the driver includes it in kernel mode, the
// panel in user mode. All multi-byte values are little-endian; sizes are bytes.
#pragma once

// Control codes are built with the platform's CTL_CODE: the kernel's headers
// define it for the driver, <winioctl.h> (through <windows.h>) for the panel.
// The three device control codes of \Device\Tessiro8: buffered, so that
// request and reply share one system buffer, and open to any caller that
// could open the device.
#define CACHE_CONTROL_CODE(Function)                                                                         \
    CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_CACHE_CONTROL_VOLUME   CACHE_CONTROL_CODE(0x801)
#define IOCTL_CACHE_QUERY_STATISTICS CACHE_CONTROL_CODE(0x802)
#define IOCTL_CACHE_QUERY_VERSION    CACHE_CONTROL_CODE(0x803)

#define CACHE_DRIVER_VERSION 0x20110325u

// Kernel and user-mode names of the control device.
#define CACHE_DEVICE_NAME     L"\\Device\\Tessiro8"
#define CACHE_DOS_DEVICE_NAME L"\\DosDevices\\Tessiro8"
#define CACHE_WIN32_DEVICE    L"\\\\.\\Tessiro8"

// Number of UTF-16 code units of CacheControlRequest::CacheFilePath, the NUL
// included. "\??\" takes 4 of them, so a Win32 path may hold at most 256.
#define CACHE_FILE_PATH_CHARS 261
#define CACHE_WIN32_PATH_MAX  256

// Rounding unit of the SSD tier sizes: 512 MiB.
#define CACHE_SSD_SIZE_UNIT 0x20000000ull

#pragma pack(push, 1)

// Start or stop caching one volume. 560 bytes; every field lies on its natural
// alignment although the record is packed.
typedef struct _CacheControlRequest {
    WCHAR DriveLetter;                           // either case
    UCHAR SsdEnabled;                            // nonzero: add the SSD tier
    UCHAR SsdAutoGrow;                           // nonzero: SsdMaxSize is given
    USHORT Start;                                // nonzero start, 0 stop
    WCHAR CacheFilePath[CACHE_FILE_PATH_CHARS];  // "\??\X:\...", NUL within the field
    ULONGLONG MemorySize;
    ULONGLONG SsdSize;
    ULONGLONG SsdMaxSize;
    ULONG AllocateBlockSize;  // power of two
    ULONG CacheBlockSize;     // power of two
} CacheControlRequest;

// Configuration and counters of one cached volume. 120 bytes.
typedef struct _CacheStatistics {
    ULONGLONG ReadRequests;
    ULONGLONG ReadBytes;
    ULONGLONG VolumeReads;
    ULONGLONG VolumeReadBytes;
    ULONGLONG SsdHits;
    ULONGLONG SsdHitBytes;
    ULONGLONG MemoryHits;
    ULONGLONG MemoryHitBytes;
    ULONG AllocateBlockSize;
    ULONG CacheBlockSize;
    ULONGLONG MemorySize;
    ULONG MemoryBlocksUsed;
    ULONG Reserved1;
    ULONGLONG SsdSize;
    ULONGLONG SsdMaxSize;
    ULONG SsdBlocksUsed;
    UCHAR SsdEnabled;
    UCHAR SsdAutoGrow;
    USHORT Reserved2;
    ULONG VolumeSizeGB;
    ULONG Reserved3;
} CacheStatistics;

#pragma pack(pop)

#define CACHE_OFFSET_OF(type, field) __builtin_offsetof(type, field)

static_assert(IOCTL_CACHE_CONTROL_VOLUME == 0x222004u, "start and stop control code");
static_assert(IOCTL_CACHE_QUERY_STATISTICS == 0x222008u, "statistics control code");
static_assert(IOCTL_CACHE_QUERY_VERSION == 0x22200Cu, "version control code");

static_assert(sizeof(WCHAR) == 2, "WCHAR must be a UTF-16 code unit");
static_assert(sizeof(CacheControlRequest) == 560, "CacheControlRequest is 560 bytes");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, DriveLetter) == 0, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, SsdEnabled) == 2, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, SsdAutoGrow) == 3, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, Start) == 4, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, CacheFilePath) == 6, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, MemorySize) == 528, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, SsdSize) == 536, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, SsdMaxSize) == 544, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, AllocateBlockSize) == 552, "");
static_assert(CACHE_OFFSET_OF(CacheControlRequest, CacheBlockSize) == 556, "");

static_assert(sizeof(CacheStatistics) == 120, "CacheStatistics is 120 bytes");
static_assert(CACHE_OFFSET_OF(CacheStatistics, ReadRequests) == 0, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, ReadBytes) == 8, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, VolumeReads) == 16, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, VolumeReadBytes) == 24, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdHits) == 32, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdHitBytes) == 40, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, MemoryHits) == 48, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, MemoryHitBytes) == 56, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, AllocateBlockSize) == 64, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, CacheBlockSize) == 68, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, MemorySize) == 72, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, MemoryBlocksUsed) == 80, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, Reserved1) == 84, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdSize) == 88, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdMaxSize) == 96, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdBlocksUsed) == 104, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdEnabled) == 108, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, SsdAutoGrow) == 109, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, Reserved2) == 110, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, VolumeSizeGB) == 112, "");
static_assert(CACHE_OFFSET_OF(CacheStatistics, Reserved3) == 116, "");
