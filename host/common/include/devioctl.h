// The host build's <devioctl.h>: how device control codes are built, with the
// platform's names and values. As on the platform, the kernel's <wdm.h> and
// the user-mode <winioctl.h> both take them from here.
#pragma once

#define FILE_DEVICE_DISK    0x00000007
#define FILE_DEVICE_UNKNOWN 0x00000022

#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3

#define FILE_ANY_ACCESS 0

#define CTL_CODE(DeviceType, Function, Method, Access)                                                       \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
