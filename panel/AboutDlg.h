// The About box: icon, product name and an OK button, nothing else.
#pragma once

#include "panel/Resource.h"
#include "panel/ui/Controls.h"

class CAboutDlg : public ui::Dialog {
public:
    CAboutDlg() : ui::Dialog(IDD_ABOUTBOX) {}
};
