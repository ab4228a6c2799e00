// Driver-wide state, all of it zero at load.
#include "Driver.h"

CacheDriverGlobals DriverGlobals;
