// The host build's <wdm.h>: the kernel of a driver: IRQL, pool, dispatcher
// objects, objects and handles, the I/O manager, memory descriptor lists and
// reserved mappings, files and system threads.
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include "../../common/include/devioctl.h"

// The declarations live in two parts by subject; they are no headers of the
// DDK, so nothing else includes them.
#define TESSIRO_HOST_WDM_PARTS
#include "wdm/Kernel.h"
#include "wdm/IoManager.h"
#undef TESSIRO_HOST_WDM_PARTS
