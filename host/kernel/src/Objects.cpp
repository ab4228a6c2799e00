// Reference-counted objects and the kernel handle table.
#include "KernelInternal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

namespace host::detail {
namespace {

constexpr uint64_t ObjectMagic = 0x5443454a424f4b48ull;  // "HKOBJECT"
constexpr uint64_t DeadMagic = 0x444145444a424f44ull;

std::atomic<size_t> LiveObjects{0};

// Handle tables as NT keeps them: one per process and one for kernel handles.
// System threads run in the System process; every other thread that calls
// into the kernel (a test's thread, the nbdkit plugin's) stands for a thread
// of one user process, the caller of the control device. A handle made
// without OBJ_KERNEL_HANDLE goes into the current process's table and is
// valid only in that process; a kernel handle is valid in every process, but
// only for kernel-mode callers. Kernel handle values have the sign bit set,
// as on 64-bit NT.
enum TableId { KernelTable, SystemProcessTable, UserProcessTable, TableCount };
constexpr uintptr_t KernelHandleBits = ~uintptr_t(0x7FFFFFFF);

struct HandleTable {
    std::unordered_map<uintptr_t, void *> Entries;
    uintptr_t Next = 4;
};

std::mutex HandleLock;
HandleTable Tables[TableCount];
uint64_t UserHandlesCreated = 0;

bool IsKernelHandleValue(HANDLE Handle)
{
    return (reinterpret_cast<uintptr_t>(Handle) & KernelHandleBits) == KernelHandleBits;
}

TableId CurrentProcessTable()
{
    return KeGetCurrentThread()->SystemThread ? SystemProcessTable : UserProcessTable;
}

// The table that a handle value names for a caller of the mode, or null when
// the caller may not use it.
HandleTable *TableFor(HANDLE Handle, KPROCESSOR_MODE Mode)
{
    if (IsKernelHandleValue(Handle))
        return Mode == KernelMode ? &Tables[KernelTable] : nullptr;
    return &Tables[CurrentProcessTable()];
}

}  // namespace

void BugCheck(const char *Format, ...)
{
    fprintf(stderr, "host kernel: BUG CHECK: ");
    va_list Args;
    va_start(Args, Format);
    vfprintf(stderr, Format, Args);
    va_end(Args);
    fprintf(stderr, "\n");
    fflush(stderr);
    abort();
}

void *ObjectCreate(ObjectKind Kind, size_t BodySize, void (*Destroy)(void *Body), bool Permanent)
{
    auto *Header = static_cast<ObjectHeader *>(calloc(1, sizeof(ObjectHeader) + BodySize));
    if (!Header)
        return nullptr;
    Header->Magic = ObjectMagic;
    Header->Kind = Kind;
    Header->Permanent = Permanent;
    new (&Header->RefCount) std::atomic<long>(1);
    Header->Destroy = Destroy;
    if (!Permanent)
        LiveObjects.fetch_add(1);
    return Header + 1;
}

ObjectHeader *ObjectHeaderOf(const void *Body)
{
    if (!Body)
        BugCheck("null object pointer");
    auto *Header = const_cast<ObjectHeader *>(static_cast<const ObjectHeader *>(Body) - 1);
    if (Header->Magic != ObjectMagic)
        BugCheck("%p is not a live kernel object (magic %llx)", Body, (unsigned long long)Header->Magic);
    return Header;
}

ObjectKind ObjectKindOf(const void *Body)
{
    return ObjectHeaderOf(Body)->Kind;
}

void ObjectReference(void *Body)
{
    ObjectHeader *Header = ObjectHeaderOf(Body);
    if (Header->RefCount.fetch_add(1, std::memory_order_relaxed) <= 0)
        BugCheck("reference to object %p whose count already reached zero", Body);
}

void ObjectDereference(void *Body)
{
    ObjectHeader *Header = ObjectHeaderOf(Body);
    long Left = Header->RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (Left < 0)
        BugCheck("object %p dereferenced more often than referenced", Body);
    if (Left > 0)
        return;
    if (Header->Destroy)
        Header->Destroy(Body);
    if (!Header->Permanent)
        LiveObjects.fetch_sub(1);
    Header->Magic = DeadMagic;
    free(Header);
}

size_t ObjectLiveCount()
{
    return LiveObjects.load();
}

HANDLE HandleInsert(void *Body, ULONG Attributes)
{
    TableId Id = (Attributes & OBJ_KERNEL_HANDLE) ? KernelTable : CurrentProcessTable();
    std::lock_guard<std::mutex> Guard(HandleLock);
    HandleTable &Table = Tables[Id];
    uintptr_t Value = Table.Next;
    Table.Next += 4;
    Table.Entries[Value] = Body;
    if (Id == UserProcessTable)
        UserHandlesCreated++;
    return reinterpret_cast<HANDLE>(Id == KernelTable ? Value | KernelHandleBits : Value);
}

void *HandleReference(HANDLE Handle, KPROCESSOR_MODE Mode)
{
    std::lock_guard<std::mutex> Guard(HandleLock);
    HandleTable *Table = TableFor(Handle, Mode);
    if (!Table)
        return nullptr;
    auto It = Table->Entries.find(reinterpret_cast<uintptr_t>(Handle) & ~KernelHandleBits);
    if (It == Table->Entries.end())
        return nullptr;
    ObjectReference(It->second);
    return It->second;
}

NTSTATUS HandleClose(HANDLE Handle, KPROCESSOR_MODE Mode)
{
    void *Body = nullptr;
    {
        std::lock_guard<std::mutex> Guard(HandleLock);
        HandleTable *Table = TableFor(Handle, Mode);
        if (Table) {
            auto It = Table->Entries.find(reinterpret_cast<uintptr_t>(Handle) & ~KernelHandleBits);
            if (It != Table->Entries.end()) {
                Body = It->second;
                Table->Entries.erase(It);
            }
        }
    }
    if (!Body) {
        // NT stops the system when kernel-mode code closes a handle that its
        // process does not hold.
        if (Mode == KernelMode)
            BugCheck("INVALID_KERNEL_HANDLE: kernel-mode close of invalid handle %p", Handle);
        return STATUS_INVALID_HANDLE;
    }
    ObjectDereference(Body);
    return STATUS_SUCCESS;
}

size_t HandleCloseAll()
{
    size_t Count = 0;
    for (;;) {
        void *Body = nullptr;
        {
            std::lock_guard<std::mutex> Guard(HandleLock);
            for (HandleTable &Table : Tables) {
                if (!Table.Entries.empty()) {
                    Body = Table.Entries.begin()->second;
                    Table.Entries.erase(Table.Entries.begin());
                    break;
                }
            }
            if (!Body) {
                for (HandleTable &Table : Tables)
                    Table.Next = 4;
                UserHandlesCreated = 0;
                break;
            }
        }
        ObjectDereference(Body);
        ++Count;
    }
    return Count;
}

}  // namespace host::detail

using namespace host::detail;

POBJECT_TYPE IoFileObjectTypeValue = reinterpret_cast<POBJECT_TYPE>(uintptr_t(ObjectKind::File));
POBJECT_TYPE PsThreadTypeValue = reinterpret_cast<POBJECT_TYPE>(uintptr_t(ObjectKind::Thread));
POBJECT_TYPE *IoFileObjectType = &IoFileObjectTypeValue;
POBJECT_TYPE *PsThreadType = &PsThreadTypeValue;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    (void)DesiredAccess;
    void *Body = HandleReference(Handle, AccessMode);
    if (!Body)
        return STATUS_INVALID_HANDLE;
    if (ObjectType &&
        static_cast<ObjectKind>(reinterpret_cast<uintptr_t>(ObjectType)) != ObjectKindOf(Body)) {
        ObjectDereference(Body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Object = Body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    ObjectReference(Object);
    return ObjectHeaderOf(Object)->RefCount.load();
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    long Before = ObjectHeaderOf(Object)->RefCount.load();
    ObjectDereference(Object);
    return Before - 1;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwClose at IRQL %u", KeGetCurrentIrql());
    return HandleClose(Handle, KernelMode);
}

namespace host {
uint64_t UserProcessHandlesCreated()
{
    std::lock_guard<std::mutex> Guard(HandleLock);
    return UserHandlesCreated;
}

long ObjectReferences(PVOID Object)
{
    return ObjectHeaderOf(Object)->RefCount.load();
}
}  // namespace host
