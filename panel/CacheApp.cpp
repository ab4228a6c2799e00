// Application start.
#include "panel/CacheApp.h"

#include "panel/CacheDlg.h"

CCacheApp theApp;

bool CCacheApp::InitInstance()
{
    // Every drive letter is looked at (volume list, settings dialog, cache
    // file check): an empty removable drive must fail quietly instead of
    // raising the system's "No Disk" box. The other bits of the mode
    // inherited from the parent process are kept.
    UINT inherited = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(inherited | SEM_FAILCRITICALERRORS);
    ui::InitCommonControls(ICC_WIN95_CLASSES);
    m_registryKey = L"应用程序向导生成的本地应用程序";
    CCacheDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
