// The simulated machine: drive letters, paths of the executable and of the
// system directory, the sandbox that holds its files, GetLastError.
#include "Win32Internal.h"

#include <set>
#include <string>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostwin32 {

const char16_t CdRomDevice[] = u"\\Device\\CdRom0";
const char16_t NetworkDevice[] = u"\\Device\\LanmanRedirector\\;Z:0\\server\\share";

std::u16string HardDiskDevice(int number)
{
    std::u16string name = u"\\Device\\HarddiskVolume";
    for (char c : std::to_string(number)) {
        name.push_back((char16_t)c);
    }
    return name;
}

namespace {

Machine &TheMachine()
{
    static Machine machine;
    return machine;
}

std::set<std::string> &Locks()
{
    static std::set<std::string> locks;
    return locks;
}

std::set<std::string> &ReadOnlyFiles()
{
    static std::set<std::string> files;
    return files;
}

thread_local DWORD lastError = 0;
// The process's error mode and the error boxes the system showed.
UINT errorMode = 0;
int criticalErrorBoxes = 0;

const Drive *FindDrive(WCHAR letter)
{
    if (letter >= L'a' && letter <= L'z') {
        letter = (WCHAR)(letter - L'a' + L'A');
    }
    for (const Drive &drive : TheMachine().Drives) {
        if (drive.Letter == letter) {
            return &drive;
        }
    }
    return nullptr;
}

void MakeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) {
            break;
        }
    }
}

std::string DirectoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

}  // namespace

namespace detail {

std::u16string FromWide(const WCHAR *text)
{
    std::u16string result;
    for (; text != nullptr && *text != 0; ++text) {
        result.push_back((char16_t)*text);
    }
    return result;
}

std::string Utf8Of(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | (c >> 12)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (c >> 18)));
            out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string Utf16OfUtf8(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char b = (unsigned char)text[i];
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
            c = (c << 6) | ((unsigned char)text[i] & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back((char16_t)(0xD800 + (c >> 10)));
            out.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back((char16_t)c);
        }
    }
    return out;
}

bool IsLocked(const std::string &hostPath)
{
    return Locks().count(hostPath) != 0;
}

bool IsReadOnly(const std::string &hostPath)
{
    return ReadOnlyFiles().count(hostPath) != 0;
}

bool MediumMissing(const std::u16string &win32Path)
{
    if (win32Path.size() < 2 || win32Path[1] != u':') {
        return false;
    }
    const Drive *drive = FindDrive((WCHAR)win32Path[0]);
    if (drive == nullptr || !drive->EmptyRemovable) {
        return false;
    }
    if ((errorMode & SEM_FAILCRITICALERRORS) == 0) {
        ++criticalErrorBoxes;
    }
    return true;
}

}  // namespace detail

void SetMachine(const Machine &machine)
{
    detail::ResetServices();
    detail::ResetHandles();
    Locks().clear();
    ReadOnlyFiles().clear();
    // A new process: the system's default error mode.
    errorMode = 0;
    criticalErrorBoxes = 0;
    Machine &current = TheMachine();
    current = machine;
    if (current.SandboxDir.empty()) {
        char pattern[] = "/tmp/tessiro8-machine-XXXXXX";
        const char *made = mkdtemp(pattern);
        current.SandboxDir = made != nullptr ? made : "/tmp";
    }
    MakeDirectories(DirectoryOf(HostPath(current.ModulePath)));
    MakeDirectories(HostPath(current.SystemDirectory + u"\\Drivers"));
    SetActAsAdmin(true);
}

void SetDrives(const std::vector<Drive> &drives)
{
    TheMachine().Drives = drives;
}

const Machine &CurrentMachine()
{
    return TheMachine();
}

std::string HostPath(const std::u16string &win32Path)
{
    if (!win32Path.empty() && win32Path[0] == u'/') {
        return detail::Utf8Of(win32Path);
    }
    if (win32Path.size() < 2 || win32Path[1] != u':') {
        return std::string();
    }
    char16_t letter = win32Path[0];
    if (letter >= u'a' && letter <= u'z') {
        letter = (char16_t)(letter - u'a' + u'A');
    }
    std::u16string rest = win32Path.substr(2);
    for (char16_t &c : rest) {
        if (c == u'\\') {
            c = u'/';
        }
    }
    std::string path = TheMachine().SandboxDir + "/" + (char)letter;
    if (rest.empty() || rest[0] != u'/') {
        path += "/";
    }
    return path + detail::Utf8Of(rest);
}

std::string HostPath(const WCHAR *win32Path)
{
    return HostPath(detail::FromWide(win32Path));
}

std::string ReadHostFile(const std::u16string &win32Path)
{
    std::string data;
    FILE *file = fopen(HostPath(win32Path).c_str(), "rb");
    if (file == nullptr) {
        return data;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        data.append(buffer, got);
    }
    fclose(file);
    return data;
}

bool FileExists(const std::u16string &win32Path)
{
    struct stat info;
    return stat(HostPath(win32Path).c_str(), &info) == 0;
}

void RemoveFile(const std::u16string &win32Path)
{
    unlink(HostPath(win32Path).c_str());
}

void LockFile(const std::u16string &win32Path, bool locked)
{
    if (locked) {
        Locks().insert(HostPath(win32Path));
    } else {
        Locks().erase(HostPath(win32Path));
    }
}

void SetFileReadOnly(const std::u16string &win32Path, bool readOnly)
{
    if (readOnly) {
        ReadOnlyFiles().insert(HostPath(win32Path));
    } else {
        ReadOnlyFiles().erase(HostPath(win32Path));
    }
}

int CriticalErrorBoxes()
{
    return criticalErrorBoxes;
}

}  // namespace hostwin32

using namespace hostwin32;

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD error)
{
    lastError = error;
}

DWORD WINAPI GetLogicalDrives(void)
{
    DWORD mask = 0;
    for (const Drive &drive : CurrentMachine().Drives) {
        mask |= 1u << (drive.Letter - L'A');
    }
    SetLastError(ERROR_SUCCESS);
    return mask;
}

UINT WINAPI SetErrorMode(UINT mode)
{
    UINT previous = errorMode;
    errorMode = mode;
    return previous;
}

static DWORD CopyOut(const std::u16string &text, LPWSTR buffer, DWORD size)
{
    if (size == 0) {
        return 0;
    }
    DWORD count = (DWORD)text.size() < size - 1 ? (DWORD)text.size() : size - 1;
    for (DWORD i = 0; i < count; ++i) {
        buffer[i] = (WCHAR)text[i];
    }
    buffer[count] = 0;
    return count;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                                  LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                  LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer,
                                  DWORD fileSystemNameSize)
{
    std::u16string root = detail::FromWide(rootPathName);
    const Drive *drive =
        root.size() == 3 && root[1] == u':' && root[2] == u'\\' ? FindDrive((WCHAR)root[0]) : nullptr;
    if (drive == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (detail::MediumMissing(root) || drive->InfoFails) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (volumeNameBuffer != nullptr) {
        if (drive->Label.size() + 1 > volumeNameSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        CopyOut(drive->Label, volumeNameBuffer, volumeNameSize);
    }
    if (volumeSerialNumber != nullptr) {
        *volumeSerialNumber = 0x1234ABCD;
    }
    if (maximumComponentLength != nullptr) {
        *maximumComponentLength = 255;
    }
    if (fileSystemFlags != nullptr) {
        *fileSystemFlags = 0;
    }
    if (fileSystemNameBuffer != nullptr) {
        CopyOut(u"NTFS", fileSystemNameBuffer, fileSystemNameSize);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max)
{
    std::u16string name = detail::FromWide(deviceName);
    const Drive *drive = name.size() == 2 && name[1] == u':' ? FindDrive((WCHAR)name[0]) : nullptr;
    if (drive == nullptr || drive->Device.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    // The target and a second NUL that ends the list.
    if (drive->Device.size() + 2 > max) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    CopyOut(drive->Device, targetPath, max);
    targetPath[drive->Device.size() + 1] = 0;
    SetLastError(ERROR_SUCCESS);
    return (DWORD)drive->Device.size() + 2;
}

DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR fileName, DWORD size)
{
    const std::u16string &path = CurrentMachine().ModulePath;
    DWORD stored = CopyOut(path, fileName, size);
    if (stored < path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    SetLastError(ERROR_SUCCESS);
    return stored;
}

// The current process's pseudo-handle, as on Windows.
HANDLE WINAPI GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

namespace {
// The one module the panel looks up by name.
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C800000));

bool EqualsIgnoringCase(const WCHAR *a, const char16_t *b)
{
    for (; *a != 0 && *b != 0; ++a, ++b) {
        WCHAR x = (*a >= L'A' && *a <= L'Z') ? WCHAR(*a + 32) : *a;
        char16_t y = (*b >= u'A' && *b <= u'Z') ? char16_t(*b + 32) : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == 0 && *b == 0;
}
}  // namespace

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName)
{
    if (moduleName != nullptr &&
        (EqualsIgnoringCase(moduleName, u"kernel32.dll") || EqualsIgnoringCase(moduleName, u"kernel32"))) {
        SetLastError(ERROR_SUCCESS);
        return kKernel32;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module == kKernel32 && procName != nullptr && std::string(procName) == "IsWow64Process" &&
        CurrentMachine().HasIsWow64Process) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&IsWow64Process));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process)
{
    if (process != GetCurrentProcess() || wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64Process = CurrentMachine().Wow64 ? TRUE : FALSE;
    return TRUE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    const std::u16string &path = CurrentMachine().SystemDirectory;
    if (path.size() + 1 > size) {
        return (UINT)path.size() + 1;
    }
    CopyOut(path, buffer, size);
    return (UINT)path.size();
}

}  // extern "C"
