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

std::mutex HandleLock;
std::unordered_map<uintptr_t, void *> Handles;
uintptr_t NextHandle = 4;

}  // namespace

void BugCheck(const char *Format, ...) {
    fprintf(stderr, "host kernel: BUG CHECK: ");
    va_list Args;
    va_start(Args, Format);
    vfprintf(stderr, Format, Args);
    va_end(Args);
    fprintf(stderr, "\n");
    fflush(stderr);
    abort();
}

void *ObjectCreate(ObjectKind Kind, size_t BodySize, void (*Destroy)(void *Body), bool Permanent) {
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

ObjectHeader *ObjectHeaderOf(const void *Body) {
    if (!Body)
        BugCheck("null object pointer");
    auto *Header = const_cast<ObjectHeader *>(static_cast<const ObjectHeader *>(Body) - 1);
    if (Header->Magic != ObjectMagic)
        BugCheck("%p is not a live kernel object (magic %llx)", Body,
                 (unsigned long long)Header->Magic);
    return Header;
}

ObjectKind ObjectKindOf(const void *Body) { return ObjectHeaderOf(Body)->Kind; }

void ObjectReference(void *Body) {
    ObjectHeader *Header = ObjectHeaderOf(Body);
    if (Header->RefCount.fetch_add(1, std::memory_order_relaxed) <= 0)
        BugCheck("reference to object %p whose count already reached zero", Body);
}

void ObjectDereference(void *Body) {
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

size_t ObjectLiveCount() { return LiveObjects.load(); }

HANDLE HandleInsert(void *Body) {
    std::lock_guard<std::mutex> Guard(HandleLock);
    uintptr_t Value = NextHandle;
    NextHandle += 4;
    Handles[Value] = Body;
    return reinterpret_cast<HANDLE>(Value);
}

void *HandleReference(HANDLE Handle) {
    std::lock_guard<std::mutex> Guard(HandleLock);
    auto It = Handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (It == Handles.end())
        return nullptr;
    ObjectReference(It->second);
    return It->second;
}

NTSTATUS HandleClose(HANDLE Handle) {
    void *Body;
    {
        std::lock_guard<std::mutex> Guard(HandleLock);
        auto It = Handles.find(reinterpret_cast<uintptr_t>(Handle));
        if (It == Handles.end())
            return STATUS_INVALID_HANDLE;
        Body = It->second;
        Handles.erase(It);
    }
    ObjectDereference(Body);
    return STATUS_SUCCESS;
}

size_t HandleCloseAll() {
    size_t Count = 0;
    for (;;) {
        HANDLE Handle;
        {
            std::lock_guard<std::mutex> Guard(HandleLock);
            if (Handles.empty())
                break;
            Handle = reinterpret_cast<HANDLE>(Handles.begin()->first);
        }
        HandleClose(Handle);
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

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    (void)DesiredAccess;
    (void)AccessMode;
    void *Body = HandleReference(Handle);
    if (!Body)
        return STATUS_INVALID_HANDLE;
    if (ObjectType && static_cast<ObjectKind>(reinterpret_cast<uintptr_t>(ObjectType)) != ObjectKindOf(Body)) {
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

LONG_PTR ObfReferenceObject(PVOID Object) {
    ObjectReference(Object);
    return ObjectHeaderOf(Object)->RefCount.load();
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    long Before = ObjectHeaderOf(Object)->RefCount.load();
    ObjectDereference(Object);
    return Before - 1;
}

NTSTATUS ZwClose(HANDLE Handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwClose at IRQL %u", KeGetCurrentIrql());
    return HandleClose(Handle);
}
