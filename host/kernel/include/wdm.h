// The host build's <wdm.h>: everything the driver uses lives in <ntddk.h>.
#pragma once
#include <ntddk.h>
