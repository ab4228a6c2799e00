// The host build's <ntdddisk.h>: the disk control codes and records that the
// driver uses live in <ntddk.h>.
#pragma once
#include <ntddk.h>
