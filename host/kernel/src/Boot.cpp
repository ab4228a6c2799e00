// Boot and shutdown of the host kernel.
#include "KernelInternal.h"
#include "Subsystems.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace host {
namespace {
bool Booted = false;
}

void KernelBoot(const KernelConfig &Config)
{
    if (Booted) {
        fprintf(stderr, "host kernel: KernelBoot without KernelShutdown; shutting down first\n");
        KernelShutdown();
    }
    detail::ResetIrqlState();
    detail::ResetPool(Config);
    detail::ResetNamespace();
    detail::ResetDrivers();
    detail::ResetFiles();
    detail::ResetMdlFaults();
    detail::ResetThreads();
    detail::ResetDispatcher(Config);
    detail::ResetClock(Config);
    detail::ResetMemoryManager(Config);
    Booted = true;
}

bool KernelShutdown()
{
    if (!Booted)
        return true;
    bool Clean = detail::UnloadAllDrivers();
    // Threads that are on their way out get a moment to finish.
    for (int i = 0; i < 200 && detail::LiveSystemThreads(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    detail::ReapThreads();
    if (size_t Threads = detail::LiveSystemThreads()) {
        fprintf(stderr, "host kernel: shutdown with %zu system threads still running\n", Threads);
        Clean = false;
    }
    if (size_t Handles = detail::HandleCloseAll()) {
        fprintf(stderr, "host kernel: shutdown with %zu kernel handles still open\n", Handles);
        Clean = false;
    }
    if (!detail::ShutdownMemoryManager())
        Clean = false;
    detail::ShutdownClock();
    if (size_t Blocks = detail::PoolReleaseAll()) {
        fprintf(stderr, "host kernel: shutdown with %zu pool allocations still live\n", Blocks);
        Clean = false;
    }
    detail::ResetFiles();  // drops the drive mappings' device references
    if (size_t Objects = detail::ObjectLiveCount()) {
        fprintf(stderr,
                "host kernel: shutdown with %zu objects still referenced (open files, devices "
                "or references never dropped)\n",
                Objects);
        Clean = false;
    }
    detail::ResetNamespace();
    detail::ResetFiles();
    detail::ResetIrpCache();
    Booted = false;
    return Clean;
}

}  // namespace host
