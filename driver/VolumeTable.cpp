// Lookups in the volume table. The slots are read without a lock; start and
// stop write them by single atomic exchanges.
#include "Driver.h"

PVolumeCacheContext FindVolumeByLetter(WCHAR Letter)
{
    ULONG slot;

    if (Letter >= L'A' && Letter <= L'Z')
        Letter = (WCHAR)(Letter + 0x20);
    for (slot = 0; slot < CACHE_VOLUME_SLOTS; slot++) {
        PVolumeCacheContext context = ReadVolumeSlot(slot);
        if (context != NULL && context->DriveLetter == Letter)
            return context;
    }
    return NULL;
}

PVolumeCacheContext FindVolumeByDevice(PDEVICE_OBJECT DeviceObject)
{
    ULONG slot;

    for (slot = 0; slot < CACHE_VOLUME_SLOTS; slot++) {
        PVolumeCacheContext context = ReadVolumeSlot(slot);
        if (context != NULL && context->VolumeDevice == DeviceObject)
            return context;
    }
    return NULL;
}
