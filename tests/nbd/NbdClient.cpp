#include "NbdClient.h"

#include <dlfcn.h>
#include <libnbd.h>

namespace nbdtest {
namespace {

struct Api {
    decltype(&nbd_create) Create = nullptr;
    decltype(&nbd_close) Close = nullptr;
    decltype(&nbd_connect_uri) ConnectUri = nullptr;
    decltype(&nbd_set_strict_mode) SetStrictMode = nullptr;
    decltype(&nbd_get_size) GetSize = nullptr;
    decltype(&nbd_pread) Pread = nullptr;
    decltype(&nbd_pwrite) Pwrite = nullptr;
    decltype(&nbd_flush) FlushCall = nullptr;
    decltype(&nbd_get_errno) GetErrno = nullptr;
    decltype(&nbd_get_error) GetError = nullptr;
    bool Loaded = false;

    Api()
    {
        void *lib = dlopen("libnbd.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return;
        Create = reinterpret_cast<decltype(Create)>(dlsym(lib, "nbd_create"));
        Close = reinterpret_cast<decltype(Close)>(dlsym(lib, "nbd_close"));
        ConnectUri = reinterpret_cast<decltype(ConnectUri)>(dlsym(lib, "nbd_connect_uri"));
        SetStrictMode = reinterpret_cast<decltype(SetStrictMode)>(dlsym(lib, "nbd_set_strict_mode"));
        GetSize = reinterpret_cast<decltype(GetSize)>(dlsym(lib, "nbd_get_size"));
        Pread = reinterpret_cast<decltype(Pread)>(dlsym(lib, "nbd_pread"));
        Pwrite = reinterpret_cast<decltype(Pwrite)>(dlsym(lib, "nbd_pwrite"));
        FlushCall = reinterpret_cast<decltype(FlushCall)>(dlsym(lib, "nbd_flush"));
        GetErrno = reinterpret_cast<decltype(GetErrno)>(dlsym(lib, "nbd_get_errno"));
        GetError = reinterpret_cast<decltype(GetError)>(dlsym(lib, "nbd_get_error"));
        Loaded = Create && Close && ConnectUri && SetStrictMode && GetSize && Pread && Pwrite && FlushCall &&
                 GetErrno && GetError;
    }
};

Api &Lib()
{
    static Api api;
    return api;
}

}  // namespace

bool NbdClient::Available()
{
    return Lib().Loaded;
}

NbdClient::~NbdClient()
{
    Disconnect();
}

void NbdClient::Disconnect()
{
    if (Handle)
        Lib().Close(Handle);
    Handle = nullptr;
}

bool NbdClient::Connect(const std::string &Uri)
{
    if (!Available())
        return false;
    Handle = Lib().Create();
    if (!Handle)
        return false;
    Lib().SetStrictMode(Handle, 0);
    if (Lib().ConnectUri(Handle, Uri.c_str()) == -1) {
        Error = Lib().GetError() ? Lib().GetError() : "connect failed";
        return false;
    }
    return true;
}

int64_t NbdClient::Size()
{
    return Lib().GetSize(Handle);
}

int NbdClient::Read(uint64_t Offset, void *Buffer, size_t Length)
{
    if (Lib().Pread(Handle, Buffer, Length, Offset, 0) == 0)
        return 0;
    Error = Lib().GetError() ? Lib().GetError() : "";
    int e = Lib().GetErrno();
    return e ? e : -1;
}

int NbdClient::Write(uint64_t Offset, const void *Buffer, size_t Length)
{
    if (Lib().Pwrite(Handle, Buffer, Length, Offset, 0) == 0)
        return 0;
    Error = Lib().GetError() ? Lib().GetError() : "";
    int e = Lib().GetErrno();
    return e ? e : -1;
}

int NbdClient::Flush()
{
    if (Lib().FlushCall(Handle, 0) == 0)
        return 0;
    int e = Lib().GetErrno();
    return e ? e : -1;
}

std::vector<uint8_t> NbdClient::ReadBytes(uint64_t Offset, size_t Length, int *Error)
{
    std::vector<uint8_t> bytes(Length);
    int e = Read(Offset, bytes.data(), Length);
    if (Error)
        *Error = e;
    if (e)
        bytes.clear();
    return bytes;
}

}  // namespace nbdtest
