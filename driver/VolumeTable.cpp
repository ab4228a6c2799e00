// Lookups in the volume table. The slots are read without a lock; start and
// stop write them by single atomic exchanges.
#include "Driver.h"

PVolumeCacheContext FindVolumeByLetter(WCHAR Letter)
{
    ULONG Slot;

    if (Letter >= L'A' && Letter <= L'Z')
        Letter = (WCHAR)(Letter + 0x20);
    for (Slot = 0; Slot < CACHE_VOLUME_SLOTS; Slot++) {
        PVolumeCacheContext Context = ReadVolumeSlot(Slot);
        if (Context != NULL && Context->DriveLetter == Letter)
            return Context;
    }
    return NULL;
}

PVolumeCacheContext FindVolumeByDevice(PDEVICE_OBJECT DeviceObject)
{
    ULONG Slot;

    for (Slot = 0; Slot < CACHE_VOLUME_SLOTS; Slot++) {
        PVolumeCacheContext Context = ReadVolumeSlot(Slot);
        if (Context != NULL && Context->VolumeDevice == DeviceObject)
            return Context;
    }
    return NULL;
}
