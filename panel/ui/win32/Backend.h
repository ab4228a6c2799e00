// Private helpers of the Win32 dialog layer: access to the native handles of
// the layer's objects, the module instance and the modal dialog machinery.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "panel/Resource.h"
#include "panel/ui/Controls.h"

namespace ui {

struct Backend {
    static HWND Window(const Control &control);
    static HWND Window(const Dialog &dialog);
    static HWND Window(const ToolTip &toolTip);

    // Binds a control object to a window of the dialog.
    static void Attach(Control &control, Dialog &dialog, int id, HWND window);
    static void Attach(ToolTip &toolTip, Dialog &dialog, HWND window);

    // The dialog procedure shared by all dialogs of the layer, and the message
    // hook that gives the open dialogs their pre-translation step.
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam);

    // Runs the pre-translation of every open dialog on the window chain from
    // the message's window up to its top-level window; true when consumed.
    static bool PreTranslate(MSG *message);

    // The most recently opened dialog that is still open (owner of new modal
    // dialogs), or null.
    static Dialog *ActiveDialog();
};

// The executable's module: all resources live there.
HINSTANCE ModuleInstance();

// Window text of any window as a Text.
Text WindowText(HWND window);

}  // namespace ui
