// The application: runs the main window modally and ends with it.
#pragma once

#include "panel/ui/Controls.h"

class CCacheApp {
public:
    // Returns false so that the application ends when the main window closes.
    bool InitInstance();

    Text m_registryKey;
    ui::Dialog *m_pMainWnd = nullptr;
};

extern CCacheApp theApp;
