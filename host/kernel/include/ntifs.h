// The host build's <ntifs.h>: everything the driver uses lives in <ntddk.h>.
#pragma once
#include <ntddk.h>
