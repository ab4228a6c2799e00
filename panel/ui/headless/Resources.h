// The control panel's resources as the headless layer sees them, generated
// at build time from panel/res/Tessiro8.rc (tools/headless-resources).
#pragma once

#include "panel/ui/headless/Headless.h"

#include <vector>

namespace ui::headless {

// One addressable control of a dialog template (IDC_STATIC ones are left out).
struct TemplateControl {
    int Id;
    Kind Type;
    bool Enabled;
    const WCHAR *InitialText;
};

// The controls of a dialog template; none for an unknown template.
std::vector<TemplateControl> TemplateOf(int templateId);

struct MenuItem {
    UINT Command;
    const WCHAR *Caption;
};

// The items of a menu's popup, by the popup's position; none when the menu or
// the popup is unknown.
std::vector<MenuItem> MenuPopup(int menuId, int popup);

// A string table entry, or null.
const WCHAR *StringResource(int id);

}  // namespace ui::headless
