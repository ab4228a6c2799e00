// The main window's toolbar: the six command buttons with their images,
// captions and tips, and which of them the selected volume enables.
#pragma once

#include "panel/ui/Controls.h"

class CMainToolBar {
public:
    // Creates the toolbar along the top of the window, laid out and shown,
    // with only New and About enabled.
    void Create(ui::Dialog &parent);
    // One tip per button, in the buttons' order.
    void AddTips(ui::ToolTip &tips) const;

    // No volume selected: only New and About.
    void ShowNoSelection();
    // A volume is selected: Delete, and Start and Settings while it is not
    // cached, Stop while it is.
    void ShowSelection(bool cached);
    // The selected volume was started or stopped: Start, Stop and Settings
    // follow it, Delete stays as it was.
    void ShowStarted(bool started);

    ui::ToolBar m_bar;
    ui::ImageList m_images;
    ui::ImageList m_disabledImages;
};
