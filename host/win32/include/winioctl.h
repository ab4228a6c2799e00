// The host build's stand-in for <winioctl.h>: the device control codes'
// definitions, which it shares with the kernel's headers as the platform does.
#pragma once

#include "../../common/include/devioctl.h"
