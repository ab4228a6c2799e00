// Driver-wide state, all of it zero at load.
#include "Driver.h"

PDEVICE_OBJECT ControlDevice;
PVolumeCacheContext volatile VolumeTable[CACHE_VOLUME_SLOTS];
UCHAR HookInstalled;
PDRIVER_OBJECT HookedDriver;
PDRIVER_DISPATCH SavedReadDispatch;
PDRIVER_DISPATCH SavedWriteDispatch;

volatile LONG InterceptCallers;
volatile LONG VolumeTableReaders;
KEVENT ControlGate;
