// The main window's volume list: one row per hard-disk volume that the
// driver caches or cache.ini names, column 0 its label (drive letter first),
// columns 1-4 its size, hit rate, memory and SSD use.
#pragma once

#include "panel/ui/Controls.h"

class CVolumeList {
public:
    ui::ListCtrl &Control() { return m_list; }
    const ui::ListCtrl &Control() const { return m_list; }

    void SetUpColumns();
    // Rebuilds the rows from the drives present, C: to Z:. A cached volume
    // shows the driver's figures; one only in the file at configPath shows
    // its settings, and is started when the file says so (a refused start is
    // told in a message box of owner).
    void Fill(const WCHAR *configPath, ui::Dialog &owner);
    // Appends a row for a volume and shows the driver's figures in it.
    void Add(WCHAR driveLetter, const WCHAR *label);
    // Shows the driver's figures again in every row of a cached volume.
    void Refresh();
    void Delete(int row);
    // Drive letter of the selected row and the row.
    bool Selected(WCHAR *driveLetter, int *row) const;
    // Drive letter of the top row; false when the list is empty.
    bool TopLetter(WCHAR *driveLetter) const;

private:
    // Shows the driver's figures in a row; nothing when the volume is not
    // cached.
    void UpdateRow(WCHAR driveLetter, int row);
    ui::ListCtrl m_list;
};
