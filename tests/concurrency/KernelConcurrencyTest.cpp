// The host kernel under concurrent use: the request path that the cache
// driver builds (dispatch → spin-locked queue + semaphore → worker system
// thread → completion → waiting caller), and a pending volume serving many
// callers at once.
#include <HostKernel.h>
#include <SimVolume.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A driver whose read routine queues requests to one worker system thread.
struct QueueDriver {
    PDEVICE_OBJECT Device = nullptr;
    LIST_ENTRY Queue;
    KSPIN_LOCK Lock;
    KSEMAPHORE Wake;
    std::atomic<bool> Terminate{false};
    PKTHREAD Worker = nullptr;
    std::atomic<long> Served{0};
} Q;

NTSTATUS QueueRead(PDEVICE_OBJECT, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    ExInterlockedInsertTailList(&Q.Queue, &Irp->Tail.Overlay.ListEntry, &Q.Lock);
    KeReleaseSemaphore(&Q.Wake, 0, 1, FALSE);
    return STATUS_PENDING;
}

void QueueWorker(PVOID)
{
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    for (;;) {
        PLIST_ENTRY Entry = ExInterlockedRemoveHeadList(&Q.Queue, &Q.Lock);
        if (!Entry) {
            if (Q.Terminate)
                break;
            KeWaitForSingleObject(&Q.Wake, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        auto *Buffer =
            static_cast<unsigned char *>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
        Buffer[0] = static_cast<unsigned char>(Stack->Parameters.Read.ByteOffset.QuadPart);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = Stack->Parameters.Read.Length;
        Q.Served++;
        IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS QueueEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"\\Device\\Queue");
    NTSTATUS Status = IoCreateDevice(Driver, 0, &Name, FILE_DEVICE_DISK, 0, FALSE, &Q.Device);
    if (!NT_SUCCESS(Status))
        return Status;
    Q.Device->Flags |= DO_DIRECT_IO;
    InitializeListHead(&Q.Queue);
    KeInitializeSpinLock(&Q.Lock);
    KeInitializeSemaphore(&Q.Wake, 0, 0x0FFFFFFF);
    Q.Terminate = false;
    HANDLE Handle;
    Status = PsCreateSystemThread(&Handle, 0, nullptr, nullptr, nullptr, QueueWorker, nullptr);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(Q.Device);
        return Status;
    }
    ObReferenceObjectByHandle(Handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                              reinterpret_cast<PVOID *>(&Q.Worker), nullptr);
    ZwClose(Handle);
    Driver->MajorFunction[IRP_MJ_READ] = QueueRead;
    Driver->DriverUnload = [](PDRIVER_OBJECT) {
        Q.Terminate = true;
        KeReleaseSemaphore(&Q.Wake, 0, 1, FALSE);
        KeWaitForSingleObject(Q.Worker, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(Q.Worker);
        IoDeleteDevice(Q.Device);
    };
    return STATUS_SUCCESS;
}

}  // namespace

TEST(KernelConcurrency, QueuedRequestsFromManyThreadsAllCompleteToTheirCallers)
{
    host::KernelBoot();
    PDRIVER_OBJECT Driver = host::LoadDriver(L"Queue", QueueEntry);
    ASSERT_NE(Driver, nullptr);
    constexpr int Threads = 6, PerThread = 2000;
    std::atomic<int> Wrong{0};
    std::vector<std::thread> Callers;
    for (int t = 0; t < Threads; ++t)
        Callers.emplace_back([&, t] {
            unsigned char Buffer[512];
            for (int i = 0; i < PerThread; ++i) {
                ULONG_PTR Information = 0;
                uint64_t Offset = uint64_t(t * PerThread + i) & 0xFF;
                // Alternate the system's two ways of describing the buffer.
                NTSTATUS Status = host::SendReadWrite(Q.Device, IRP_MJ_READ, Buffer, sizeof(Buffer), Offset,
                                                      &Information, i % 2 == 0);
                if (Status != STATUS_SUCCESS || Information != sizeof(Buffer) || Buffer[0] != Offset)
                    Wrong++;
            }
        });
    for (auto &Caller : Callers)
        Caller.join();
    EXPECT_EQ(Wrong.load(), 0);
    EXPECT_EQ(Q.Served.load(), long(Threads * PerThread));
    EXPECT_TRUE(host::UnloadDriver(Driver));
    EXPECT_TRUE(host::KernelShutdown());
}

TEST(KernelConcurrency, PendingVolumeServesOverlappingCallers)
{
    host::KernelBoot();
    sim::VolumeConfig Config;
    Config.Letter = L'P';
    Config.Length = 16 << 20;
    Config.Mode = sim::Completion::Pending;
    Config.FileSystemMounted = false;
    Config.LatencyMicros = 100;
    sim::SimVolume *Volume = sim::CreateVolume(Config);
    ASSERT_NE(Volume, nullptr);
    constexpr int Threads = 8, PerThread = 200;
    std::atomic<int> Wrong{0};
    std::vector<std::thread> Callers;
    for (int t = 0; t < Threads; ++t)
        Callers.emplace_back([&, t] {
            std::vector<unsigned char> Data(4096), Back(4096);
            for (int i = 0; i < PerThread; ++i) {
                uint64_t Offset = (uint64_t(t) << 20) + uint64_t(i % 64) * 4096;
                for (auto &Byte : Data)
                    Byte = static_cast<unsigned char>(t * 31 + i);
                ULONG_PTR Information;
                if (host::SendReadWrite(Volume->Device(), IRP_MJ_WRITE, Data.data(), 4096, Offset,
                                        &Information) != STATUS_SUCCESS ||
                    host::SendReadWrite(Volume->Device(), IRP_MJ_READ, Back.data(), 4096, Offset,
                                        &Information, false) != STATUS_SUCCESS ||
                    Back != Data)
                    Wrong++;
            }
        });
    for (auto &Caller : Callers)
        Caller.join();
    EXPECT_EQ(Wrong.load(), 0);
    EXPECT_EQ(Volume->Counters().Reads.load(), uint64_t(Threads * PerThread));
    EXPECT_TRUE(host::KernelShutdown());
}

TEST(KernelConcurrency, EventsOnTheWaitersStackSurviveImmediateReturn)
{
    // Each round a waiter waits on an event on its own stack and returns as
    // soon as the signaller marks it; the signaller must not touch the event
    // afterwards.
    host::KernelBoot();
    for (int Round = 0; Round < 2000; ++Round) {
        KEVENT *Shared = nullptr;
        std::atomic<KEVENT *> Published{nullptr};
        std::thread Signaller([&] {
            KEVENT *Event;
            while (!(Event = Published.load()))
                std::this_thread::yield();
            KeSetEvent(Event, 0, FALSE);
        });
        {
            KEVENT Event;
            KeInitializeEvent(&Event, Round % 2 ? NotificationEvent : SynchronizationEvent, FALSE);
            Shared = &Event;
            Published.store(Shared);
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
        }
        Signaller.join();
    }
    EXPECT_TRUE(host::KernelShutdown());
}
