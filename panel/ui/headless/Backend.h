// The headless backend's access to the dialog layer's native handles, which
// here point at the in-memory records of Headless.h.
#pragma once

#include "panel/ui/headless/Headless.h"

namespace ui {

// Access to the layer's private handles for this backend.
struct Backend {
    static headless::DialogState *StateOf(const Dialog &dialog)
    {
        return static_cast<headless::DialogState *>(dialog.m_native);
    }
    static void SetState(Dialog &dialog, headless::DialogState *state) { dialog.m_native = state; }
    static headless::ControlState *StateOf(const Control &control)
    {
        return static_cast<headless::ControlState *>(control.m_native);
    }
    static void Attach(Control &control, Dialog &dialog, int id, headless::ControlState *state)
    {
        control.m_dialog = &dialog;
        control.m_id = id;
        control.m_native = state;
    }
    static headless::ToolTipState *StateOf(const ToolTip &tip)
    {
        return static_cast<headless::ToolTipState *>(tip.m_native);
    }
    static void Attach(ToolTip &tip, Dialog &dialog, headless::ToolTipState *state)
    {
        tip.m_dialog = &dialog;
        tip.m_native = state;
    }
    static headless::ImageListState *StateOf(const ImageList &list)
    {
        return static_cast<headless::ImageListState *>(list.m_native);
    }
    static void SetState(ImageList &list, headless::ImageListState *state) { list.m_native = state; }
};

namespace headless {

// The toolbar button with the command, or null.
ToolButtonState *FindButton(ControlState *bar, UINT command);

}  // namespace headless

}  // namespace ui
