// The host build's stand-in for <windows.h>: the user-mode part of the Win32
// API that the control panel calls, with the platform's names, values and
// semantics. host/win32/src implements the calls over the host kernel and a
// simulated machine (host/win32/include/HostWin32.h).
//
// The types it shares with the kernel headers (<ntddk.h>) come from one
// header, HostBaseTypes.h, so a test may include both.
#pragma once

#include "../../common/include/HostBaseTypes.h"
#include "winioctl.h"

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
#define WINAPI
#define CALLBACK

typedef int BOOL, INT, *PBOOL, *LPBOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD, *PDWORD, *LPDWORD;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef LONG_PTR LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef DWORD COLORREF;

typedef struct HWND__ *HWND;
typedef struct HICON__ *HICON;
typedef struct HMENU__ *HMENU;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct SC_HANDLE__ *SC_HANDLE;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r)) | ((WORD)((BYTE)(g)) << 8) | (((DWORD)(BYTE)(b)) << 16)))
#define LOWORD(l)    ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l)    ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))

// ---------------------------------------------------------------------------
// Files and devices
// ---------------------------------------------------------------------------
#define MAX_PATH             260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define SYNCHRONIZE              0x00100000L
#define DELETE                   0x00010000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_ALL              0x10000000L
#define FILE_SHARE_READ          0x00000001
#define FILE_SHARE_WRITE         0x00000002
#define FILE_SHARE_DELETE        0x00000004
#define FILE_ATTRIBUTE_READONLY  0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL    0x00000080
#define INVALID_FILE_ATTRIBUTES  ((DWORD)-1)

// Error mode of the process (SetErrorMode).
#define SEM_FAILCRITICALERRORS     0x0001
#define SEM_NOGPFAULTERRORBOX      0x0002
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004
#define SEM_NOOPENFILEERRORBOX     0x8000

#define CREATE_NEW        1
#define CREATE_ALWAYS     2
#define OPEN_EXISTING     3
#define OPEN_ALWAYS       4
#define TRUNCATE_EXISTING 5

// ---------------------------------------------------------------------------
// Error codes (GetLastError)
// ---------------------------------------------------------------------------
#define ERROR_SUCCESS                   0L
#define ERROR_INVALID_FUNCTION          1L
#define ERROR_FILE_NOT_FOUND            2L
#define ERROR_PATH_NOT_FOUND            3L
#define ERROR_ACCESS_DENIED             5L
#define ERROR_INVALID_HANDLE            6L
#define ERROR_NOT_READY                 21L
#define ERROR_GEN_FAILURE               31L
#define ERROR_SHARING_VIOLATION         32L
#define ERROR_HANDLE_EOF                38L
#define ERROR_NOT_SUPPORTED             50L
#define ERROR_INVALID_PARAMETER         87L
#define ERROR_MOD_NOT_FOUND             126L
#define ERROR_PROC_NOT_FOUND            127L
#define ERROR_DISK_FULL                 112L
#define ERROR_INSUFFICIENT_BUFFER       122L
#define ERROR_INVALID_NAME              123L
#define ERROR_BUSY                      170L
#define ERROR_FILE_EXISTS               80L
#define ERROR_ALREADY_EXISTS            183L
#define ERROR_MR_MID_NOT_FOUND          317L
#define ERROR_IO_DEVICE                 1117L
#define ERROR_SERVICE_REQUEST_TIMEOUT   1053L
#define ERROR_INVALID_SERVICE_CONTROL   1052L
#define ERROR_SERVICE_ALREADY_RUNNING   1056L
#define ERROR_SERVICE_DOES_NOT_EXIST    1060L
#define ERROR_SERVICE_NOT_ACTIVE        1062L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS            1073L
#define ERROR_NO_SYSTEM_RESOURCES       1450L

// ---------------------------------------------------------------------------
// Service control manager
// ---------------------------------------------------------------------------
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_ALL_ACCESS    0xF01FF
#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_BOOT_START    0x00000000
#define SERVICE_SYSTEM_START  0x00000001
#define SERVICE_AUTO_START    0x00000002
#define SERVICE_DEMAND_START  0x00000003
#define SERVICE_DISABLED      0x00000004
#define SERVICE_ERROR_NORMAL  0x00000001
#define SERVICE_CONTROL_STOP  0x00000001
#define SERVICE_STOPPED       0x00000001
#define SERVICE_RUNNING       0x00000004

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

// ---------------------------------------------------------------------------
// Window-side constants used by the panel's logic (the windows themselves
// are the control layer's business, panel/ui)
// ---------------------------------------------------------------------------
#define MB_OK              0x00000000L
#define MB_YESNO           0x00000004L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define IDOK               1
#define IDCANCEL           2
#define IDYES              6
#define IDNO               7
#define BST_UNCHECKED      0
#define BST_CHECKED        1
#define WM_DESTROY         0x0002
#define WM_PAINT           0x000F
#define WM_TIMER           0x0113
#define WM_COMMAND         0x0111
#define WM_SYSCOMMAND      0x0112
#define WM_MOUSEMOVE       0x0200
#define WM_LBUTTONDOWN     0x0201

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------
#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);

UINT WINAPI SetErrorMode(UINT mode);
DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);

DWORD WINAPI GetLogicalDrives(void);
BOOL WINAPI GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                                  LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                  LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer,
                                  DWORD fileSystemNameSize);
DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max);

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// Processes and modules: the panel looks up IsWow64Process at run time, as
// Windows before XP SP2 lacks it.
typedef INT_PTR(WINAPI *FARPROC)(void);
HANDLE WINAPI GetCurrentProcess(void);
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process);
UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);

DWORD WINAPI GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                                      LPWSTR returnedString, DWORD size, LPCWSTR fileName);
UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue, LPCWSTR fileName);
BOOL WINAPI WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR string, LPCWSTR fileName);
BOOL WINAPI WritePrivateProfileSectionW(LPCWSTR appName, LPCWSTR string, LPCWSTR fileName);

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                                LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                                LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password);
BOOL WINAPI StartServiceW(SC_HANDLE service, DWORD numServiceArgs, LPCWSTR *serviceArgVectors);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS serviceStatus);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE object);

#ifdef __cplusplus
}
#endif
