#include "core/scan/sane/paper_sizes.h"

#include "core/scan/sane/sane_name_lists.h"

constexpr PaperSize kPaperSizes[kPaperSizeCount] = {
    {N_("Full Size"), 0xD7E666, 0x1290000, ScanSize_FullSize, true},           // 215.9 x 297 mm
    {N_("A4 (210 x 297 mm)"), 0xD20000, 0x1290000, ScanSize_A4, true},
    {N_("Letter (8.5 x 11 in)"), 0xD7E666, 0x1176666, ScanSize_Letter, true},  // 215.9 x 279.4 mm
    {N_("A5 (148 x 210 mm)"), 0x940000, 0xD20000, ScanSize_A5, true},
    {N_("B5 (182 x 257 mm)"), 0xB60000, 0x1010000, ScanSize_B5, true},
    {N_("4x6 in"), 0x659999, 0x986666, ScanSize_4x6, false},                    // 101.6 x 152.4 mm
    {N_("Custom"), 0, 0, ScanSize_Custom, true},
};

constexpr bool rows_follow_codes() {
    for (size_t i = 0; i < kPaperSizeCount; ++i)
        if (kPaperSizes[i].code != static_cast<SCAN_PAPER_SIZE>(i)) return false;
    return kPaperSizeCount == ScanSize_Custom + 1;
}
static_assert(rows_follow_codes(), "paper_size() looks a code up by its row");
