// The host build's <ntdddisk.h>: the disk control codes and records that the
// driver uses.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------------------
// I/O manager: devices, drivers, IRPs, MDLs
// ---------------------------------------------------------------------------

typedef struct _PARTITION_INFORMATION {
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    ULONG HiddenSectors;
    ULONG PartitionNumber;
    UCHAR PartitionType;
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    BOOLEAN RewritePartition;
} PARTITION_INFORMATION, *PPARTITION_INFORMATION;

#define IOCTL_DISK_GET_PARTITION_INFO 0x00074004
