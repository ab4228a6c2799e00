// Application start.
#include "panel/CacheApp.h"

#include "panel/CacheDlg.h"

CCacheApp theApp;

bool CCacheApp::InitInstance()
{
    ui::InitCommonControls(ICC_WIN95_CLASSES);
    m_registryKey = L"应用程序向导生成的本地应用程序";
    CCacheDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
