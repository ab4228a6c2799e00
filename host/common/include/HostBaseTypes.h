// The basic types and macros that the host build's NT kernel headers
// (<ntddk.h>) and its Win32 headers (<windows.h>) both declare. They live
// here once, with the platform's names, so that a source may include both.
//
// The host build compiles with -fshort-wchar, so WCHAR and L"" literals are
// UTF-16 code units exactly as on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar");

#define VOID                      void
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define TRUE                      1
#define FALSE                     0
#ifndef NULL
#define NULL 0
#endif

typedef char CHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
typedef void *PVOID;
typedef void *HANDLE, **PHANDLE;
