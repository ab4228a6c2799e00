// Entry point of Tessiro8.exe: runs the application object, whose main
// window is a modal dialog; the process ends when it closes.
#include <windows.h>

#include "panel/CacheApp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    theApp.InitInstance();
    return 0;
}
