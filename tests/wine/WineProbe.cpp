// The smallest program of the build's architecture: scripts/wine-check runs
// it first, to prove that Wine can execute this architecture on this machine
// before it runs any real check.
#include <windows.h>

#include <stdio.h>

int wmain()
{
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    printf("wine runs %s programs (native processor architecture %u)\n",
           sizeof(void *) == 8 ? "x86-64" : "x86", (unsigned)info.wProcessorArchitecture);
    return 0;
}
