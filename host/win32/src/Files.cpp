// Handles: files in the sandbox and devices of the host kernel.
#include "KernelBridge.h"
#include "Win32Internal.h"

#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace hostwin32 {
namespace {

struct HandleObject {
    bool IsDevice = false;
    int Fd = -1;
    std::string HostPath;
    bool Exclusive = false;
    void *DeviceFile = nullptr;
};

std::mutex handleLock;
std::set<HandleObject *> &Handles()
{
    static std::set<HandleObject *> handles;
    return handles;
}
bool actAsAdmin = true;
std::vector<DWORD> &IoctlLog()
{
    static std::vector<DWORD> log;
    return log;
}

bool HeldExclusively(const std::string &path)
{
    if (detail::IsLocked(path)) {
        return true;
    }
    for (HandleObject *handle : Handles()) {
        if (!handle->IsDevice && handle->HostPath == path && handle->Exclusive) {
            return true;
        }
    }
    return false;
}

HandleObject *Lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto *object = static_cast<HandleObject *>(handle);
    return Handles().count(object) != 0 ? object : nullptr;
}

HANDLE OpenDeviceHandle(const std::u16string &name)
{
    // \\.\Name is the DOS device \??\Name.
    std::u16string ntName = u"\\??\\" + name.substr(4);
    void *file = nullptr;
    int32_t status = detail::OpenDevice(reinterpret_cast<const wchar_t *>(ntName.c_str()), actAsAdmin, &file);
    if (status < 0) {
        SetLastError(detail::DosErrorOf(status));
        return INVALID_HANDLE_VALUE;
    }
    auto *object = new HandleObject;
    object->IsDevice = true;
    object->DeviceFile = file;
    std::lock_guard<std::mutex> guard(handleLock);
    Handles().insert(object);
    SetLastError(ERROR_SUCCESS);
    return object;
}

}  // namespace

namespace detail {

bool ActAsAdmin()
{
    return actAsAdmin;
}

void ResetHandles()
{
    std::lock_guard<std::mutex> guard(handleLock);
    for (HandleObject *object : Handles()) {
        if (object->IsDevice) {
            detail::CloseDevice(object->DeviceFile);
        } else {
            close(object->Fd);
        }
        delete object;
    }
    Handles().clear();
    IoctlLog().clear();
}

}  // namespace detail

void SetActAsAdmin(bool admin)
{
    actAsAdmin = admin;
}

int OpenDeviceHandles()
{
    std::lock_guard<std::mutex> guard(handleLock);
    int count = 0;
    for (HandleObject *object : Handles()) {
        count += object->IsDevice ? 1 : 0;
    }
    return count;
}

const std::vector<DWORD> &DeviceControlCalls()
{
    return IoctlLog();
}

void ClearDeviceControlCalls()
{
    IoctlLog().clear();
}

}  // namespace hostwin32

using namespace hostwin32;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD, HANDLE)
{
    std::u16string name = detail::FromWide(fileName);
    if (name.rfind(u"\\\\.\\", 0) == 0) {
        return OpenDeviceHandle(name);
    }
    std::string path = HostPath(name);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (detail::MediumMissing(name)) {
        SetLastError(ERROR_NOT_READY);
        return INVALID_HANDLE_VALUE;
    }
    bool writes = (desiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (detail::IsReadOnly(path) &&
        (writes || creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard<std::mutex> guard(handleLock);
        if (HeldExclusively(path)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    struct stat info;
    bool existed = stat(path.c_str(), &info) == 0;
    int flags = 0;
    switch (creationDisposition) {
    case CREATE_NEW:
        flags = O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags = O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        flags = 0;
        break;
    case OPEN_ALWAYS:
        flags = O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags = O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool reads = (desiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    flags |= writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) {
        SetLastError(errno == EEXIST   ? ERROR_FILE_EXISTS
                     : errno == ENOENT ? (existed ? ERROR_FILE_NOT_FOUND
                                          : (creationDisposition == OPEN_EXISTING ||
                                             creationDisposition == TRUNCATE_EXISTING)
                                              ? ERROR_FILE_NOT_FOUND
                                              : ERROR_PATH_NOT_FOUND)
                                       : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto *object = new HandleObject;
    object->Fd = fd;
    object->HostPath = path;
    object->Exclusive = shareMode == 0;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        Handles().insert(object);
    }
    SetLastError(existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return object;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName)
{
    std::u16string name = detail::FromWide(fileName);
    std::string path = HostPath(name);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (detail::MediumMissing(name)) {
        SetLastError(ERROR_NOT_READY);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        // A missing file in an existing folder, or a missing folder.
        size_t slash = path.rfind('/');
        struct stat folder;
        bool folderExists = slash != std::string::npos && stat(path.substr(0, slash).c_str(), &folder) == 0 &&
                            S_ISDIR(folder.st_mode);
        SetLastError(errno == ENOENT ? (folderExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND)
                                     : ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (detail::IsReadOnly(path)) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    SetLastError(ERROR_SUCCESS);
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED)
{
    HandleObject *object = Lookup(file);
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (object == nullptr || object->IsDevice) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t done = write(object->Fd, buffer, bytesToWrite);
    if (done < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = (DWORD)done;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED)
{
    HandleObject *object = Lookup(file);
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (object == nullptr || object->IsDevice) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t done = read(object->Fd, buffer, bytesToRead);
    if (done < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (bytesRead != nullptr) {
        *bytesRead = (DWORD)done;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    HandleObject *object = nullptr;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        object = static_cast<HandleObject *>(handle);
        if (Handles().erase(object) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (object->IsDevice) {
        detail::CloseDevice(object->DeviceFile);
    } else {
        close(object->Fd);
    }
    delete object;
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED)
{
    HandleObject *object = Lookup(device);
    if (object == nullptr || !object->IsDevice) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    IoctlLog().push_back(ioControlCode);
    uint64_t information = 0;
    int32_t status = detail::DeviceControl(object->DeviceFile, ioControlCode, inBuffer, inBufferSize,
                                           outBuffer, outBufferSize, &information);
    if (bytesReturned != nullptr) {
        *bytesReturned = (DWORD)information;
    }
    if (status < 0) {
        SetLastError(detail::DosErrorOf(status));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // extern "C"
