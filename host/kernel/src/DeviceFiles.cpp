// Opens of devices (volumes, the control device): the create request with
// the opener's security context, cleanup and close; the tokens of a thread
// and of its impersonation.
#include "FileObjects.h"

#include <cstring>

namespace host::detail {
namespace {

struct HostToken {
    bool Admin;
};
HostToken AdminToken{true}, UserToken{false};
// The client token of the thread's impersonation, or null.
thread_local HostToken *ClientToken = nullptr;

}  // namespace

NTSTATUS OpenDeviceFile(PDEVICE_OBJECT Device, const std::u16string &Remainder, bool Admin,
                        ACCESS_MASK Access, ULONG ShareAccess, ULONG Options, PFILE_OBJECT *Result)
{
    *Result = nullptr;
    DeviceHost *Host = HostOf(Device);
    if (Host->Deleted)
        return STATUS_NO_SUCH_DEVICE;
    FileBody *File = NewFile(Remainder);
    if (!File)
        return STATUS_INSUFFICIENT_RESOURCES;
    File->DeviceOpen = true;
    File->Access = Access;
    File->Share = ShareAccess;
    File->Options = Options;
    File->Object.DeviceObject = Device;
    ObjectReference(Device);
    if (Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        File->Object.Flags |= FO_SYNCHRONOUS_IO;
    // An exclusive device admits one open file object at a time.
    long Before = Host->OpenCount.fetch_add(1);
    File->CountedOpen = true;
    if ((Device->Flags & DO_EXCLUSIVE) && Before > 0) {
        ObjectDereference(File);
        return STATUS_ACCESS_DENIED;
    }

    ACCESS_STATE AccessState;
    memset(&AccessState, 0, sizeof(AccessState));
    AccessState.OriginalDesiredAccess = AccessState.RemainingDesiredAccess = Access;
    AccessState.SubjectSecurityContext.PrimaryToken = Admin ? &AdminToken : &UserToken;
    if (ClientToken) {
        AccessState.SubjectSecurityContext.ClientToken = ClientToken;
        AccessState.SubjectSecurityContext.ImpersonationLevel = 2;  // SecurityImpersonation
    }
    IO_SECURITY_CONTEXT Security;
    memset(&Security, 0, sizeof(Security));
    Security.AccessState = &AccessState;
    Security.DesiredAccess = Access;
    Security.FullCreateOptions = Options;

    SyncRequest Request;
    PIRP Irp = AllocateThreadedIrp(Device, &Request);
    if (!Irp) {
        ObjectDereference(File);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->Tail.Overlay.OriginalFileObject = &File->Object;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_CREATE;
    Stack->Parameters.Create.SecurityContext = &Security;
    Stack->Parameters.Create.Options = (FILE_OPEN << 24) | (Options & 0x00FFFFFF);
    Stack->Parameters.Create.ShareAccess = USHORT(ShareAccess);
    Stack->FileObject = &File->Object;
    NTSTATUS Status = CallAndWait(Device, Irp, &Request);
    if (!NT_SUCCESS(Status)) {
        ObjectDereference(File);
        return Status;
    }
    File->Opened = true;
    *Result = &File->Object;
    return STATUS_SUCCESS;
}

void CloseDeviceFile(PFILE_OBJECT File)
{
    PDEVICE_OBJECT Device = File->DeviceObject;
    for (UCHAR Major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
        SyncRequest Request;
        PIRP Irp = AllocateThreadedIrp(Device, &Request);
        if (!Irp)
            continue;
        Irp->Tail.Overlay.OriginalFileObject = File;
        PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
        Stack->MajorFunction = Major;
        Stack->FileObject = File;
        CallAndWait(Device, Irp, &Request);
    }
}

}  // namespace host::detail

using namespace host::detail;

BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token)
{
    return Token && static_cast<HostToken *>(Token)->Admin ? TRUE : FALSE;
}

namespace host {

void UserImpersonate(bool Admin)
{
    ClientToken = Admin ? &AdminToken : &UserToken;
}
void UserRevertToSelf()
{
    ClientToken = nullptr;
}

}  // namespace host
