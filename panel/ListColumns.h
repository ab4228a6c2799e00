// The columns of a report-view list, given as a table.
#pragma once

#include "panel/ui/Controls.h"

#include <stddef.h>

struct ListColumn {
    const WCHAR *Heading;
    int Format;  // LVCFMT_LEFT or LVCFMT_CENTER
    int Width;   // pixels
};

// Inserts the columns left to right.
template <size_t Count>
void InsertColumns(ui::ListCtrl &list, const ListColumn (&columns)[Count])
{
    for (size_t i = 0; i < Count; ++i) {
        list.InsertColumn((int)i, columns[i].Heading, columns[i].Format, columns[i].Width);
    }
}
