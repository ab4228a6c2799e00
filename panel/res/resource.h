// Ids for the resource script. The one definition of every resource, control
// and command id is panel/Resource.h, which the C++ code includes too.
#pragma once

#include "../Resource.h"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
