// The panel's texts for the statistics log, formatted by the panel's code.
#include "StatisticsLog.h"

#include <HostKernel.h>
#include <panel/StatisticsFormat.h>

#include <vector>

namespace nbdcache {

PanelRows FormatPanelRows(const std::u16string &RowText, const CacheStatistics &Now,
                          const CacheStatistics *Last)
{
    PanelRows rows;
    std::vector<WCHAR> label(RowText.begin(), RowText.end());
    label.push_back(0);
    VolumeRowTexts volume;
    FormatVolumeRow(label.data(), Now, &volume);
    for (int c = 0; c < 5; c++)
        rows.Volume[c] = host::Utf8(volume.Column[c]);
    for (int r = 0; r < DETAIL_ROWS; r++) {
        DetailRowTexts detail;
        FormatDetailRow(r, Now, Last, &detail);
        rows.Detail[r][0] = host::Utf8(DetailRowNames[r]);
        rows.Detail[r][1] = host::Utf8(detail.Count);
        rows.Detail[r][2] = host::Utf8(detail.Amount);
        rows.Detail[r][3] = host::Utf8(detail.Speed);
    }
    return rows;
}

}  // namespace nbdcache
