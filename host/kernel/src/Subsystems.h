// Reset and shutdown hooks of the host kernel's subsystems, called by
// KernelBoot and KernelShutdown in the order that their dependencies need.
#pragma once

#include "HostKernel.h"

namespace host::detail {

// Memory manager: simulated physical memory, reserved mappings, MDL mappings.
void ResetMemoryManager(const KernelConfig &Config);
bool ShutdownMemoryManager();  // false when pages or mappings are still held

// Clock: KeTickCount, manual or real-time ticking.
void ResetClock(const KernelConfig &Config);
void ShutdownClock();

}  // namespace host::detail
