// The host build's stand-in for <commctrl.h>: the common-control constants
// that the control panel's logic names. The controls themselves belong to
// the control layer (panel/ui).
#pragma once

#include <windows.h>

#define ICC_WIN95_CLASSES 0x000000FF

#define LVCFMT_LEFT   0x0000
#define LVCFMT_RIGHT  0x0001
#define LVCFMT_CENTER 0x0002

#define LVS_EX_GRIDLINES     0x00000001
#define LVS_EX_FULLROWSELECT 0x00000020

#define NM_FIRST        (0U - 0U)
#define NM_CLICK        (NM_FIRST - 2)
#define NM_RCLICK       (NM_FIRST - 5)
#define LVN_FIRST       (0U - 100U)
#define LVN_ITEMCHANGED (LVN_FIRST - 1)

#define ILC_MASK    0x00000001
#define ILC_COLOR32 0x00000020

#define BTNS_BUTTON 0x00
