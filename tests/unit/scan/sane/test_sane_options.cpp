// The option set of an open handle: descriptors, defaults, the matching rules
// of source, mode and paper size, and the re-shaping on a source change.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "tests/support/test_handle.h"
#include "core/scan/sane/sane_options.h"

namespace {

class Options : public ::testing::Test {
protected:
    void SetUp() override { use_host("test_sane_options"); }
    void TearDown() override { use_host("test_sane_options"); }
};

TEST_F(Options, DescriptorsAndDefaults) {
    TestHandle h;
    const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(h.get(), OPT_NUM_OPTS);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "");
    EXPECT_EQ(d->type, SANE_TYPE_INT);
    EXPECT_EQ(d->cap, SANE_CAP_SOFT_DETECT);
    EXPECT_EQ(h.get_word(OPT_NUM_OPTS), 12);

    const struct {
        int opt;
        const char* name;
        SANE_Value_Type type;
        SANE_Unit unit;
        SANE_Int cap;
    } rows[] = {
        {OPT_SOURCE, "source", SANE_TYPE_STRING, SANE_UNIT_NONE, 5},
        {OPT_MODE, "mode", SANE_TYPE_STRING, SANE_UNIT_NONE, 5},
        {OPT_RESOLUTION, "resolution", SANE_TYPE_INT, SANE_UNIT_DPI, 5},
        {OPT_PREVIEW, "preview", SANE_TYPE_BOOL, SANE_UNIT_NONE, SANE_CAP_SOFT_DETECT},
        {OPT_PAPERSIZE, "Page Size", SANE_TYPE_STRING, SANE_UNIT_NONE, 5},
        {OPT_WIDTH, "page-width", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT | SANE_CAP_INACTIVE},
        {OPT_HEIGHT, "page-height", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT | SANE_CAP_INACTIVE},
        {OPT_TL_X, "tl-x", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT},
        {OPT_TL_Y, "tl-y", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT},
        {OPT_BR_X, "br-x", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT},
        {OPT_BR_Y, "br-y", SANE_TYPE_FIXED, SANE_UNIT_MM, SANE_CAP_SOFT_DETECT},
    };
    for (const auto& row : rows) {
        d = sane_orvela_get_option_descriptor(h.get(), row.opt);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->name, row.name) << row.opt;
        EXPECT_EQ(d->type, row.type) << row.opt;
        EXPECT_EQ(d->unit, row.unit) << row.opt;
        EXPECT_EQ(d->cap, row.cap) << row.opt;
    }
    EXPECT_STREQ(h->opt[OPT_WIDTH].desc,
                 "Specifies the width of the media.  Required for automatic centering of sheet-fed scans.");
    EXPECT_STREQ(h->opt[OPT_RESOLUTION].title, "Scan resolution");
    EXPECT_EQ(h->opt[OPT_SOURCE].size, static_cast<SANE_Int>(strlen("Automatic Document Feeder") + 1));
    EXPECT_EQ(h->opt[OPT_MODE].size, static_cast<SANE_Int>(strlen("Black & White") + 1));
    EXPECT_EQ(h->opt[OPT_PAPERSIZE].size, static_cast<SANE_Int>(strlen("Letter (8.5 x 11 in)") + 1));
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    EXPECT_EQ(h->opt[OPT_TL_X].constraint.range, &x_range);
    EXPECT_EQ(h->opt[OPT_BR_X].constraint.range, &w_range);
    EXPECT_EQ(x_range.max, 0xCD0000);
    EXPECT_EQ(y_range.max, 0x11E0000);
    EXPECT_EQ(w_range.max, 0xD80000);
    EXPECT_EQ(h_range.max, 0x1290000);
    EXPECT_EQ(h_range.quant, 0x1999);

    EXPECT_EQ(h.get_string(OPT_SOURCE), "Flatbed");
    EXPECT_EQ(h.get_string(OPT_MODE), "Color");
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "A4 (210 x 297 mm)");
    EXPECT_EQ(h.get_word(OPT_RESOLUTION), 300);
    EXPECT_EQ(h.get_word(OPT_PREVIEW), SANE_FALSE);
    // The default area is the whole 216 x 297 mm window although the paper says A4.
    EXPECT_EQ(h.get_word(OPT_WIDTH), mm(216));
    EXPECT_EQ(h.get_word(OPT_BR_Y), mm(297));
    EXPECT_EQ(h.get_word(OPT_TL_X), 0);
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(h->user_params.ScanColor, TrueColor);
    EXPECT_EQ(h->user_params.xResolution, 300u);
    EXPECT_EQ(h->user_params.yResolution, 300u);

    EXPECT_EQ(sane_orvela_get_option_descriptor(h.get(), 12), nullptr);
    EXPECT_EQ(sane_orvela_get_option_descriptor(h.get(), -1), nullptr);
    EXPECT_EQ(sane_orvela_get_option_descriptor(nullptr, 1), nullptr);
    SANE_Int info = 99;
    SANE_Word w = 0;
    EXPECT_EQ(sane_orvela_control_option(h.get(), 12, SANE_ACTION_SET_VALUE, &w, &info), SANE_STATUS_INVAL);
    EXPECT_EQ(info, 0);
}

TEST_F(Options, InfoFlagsAndUncheckedValues) {
    TestHandle h;
    EXPECT_EQ(h.get_word(OPT_NUM_OPTS), 12);
    EXPECT_EQ(h.set_word(OPT_NUM_OPTS, 99), 0);
    EXPECT_EQ(h.get_word(OPT_NUM_OPTS), 12);

    // An off-list resolution is stored; only x follows it.
    EXPECT_EQ(h.set_word(OPT_RESOLUTION, 250), SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
    EXPECT_EQ(h.get_word(OPT_RESOLUTION), 250);
    EXPECT_EQ(h->user_params.xResolution, 250u);
    EXPECT_EQ(h->user_params.yResolution, 300u);

    // Out-of-range lengths are stored unchanged; inactive options are set too.
    h.set_word(OPT_WIDTH, mm(400));
    EXPECT_EQ(h.get_word(OPT_WIDTH), mm(400));

    SANE_Int info = -1;
    SANE_Word w = 0;
    EXPECT_EQ(sane_orvela_control_option(h.get(), OPT_RESOLUTION, SANE_ACTION_SET_AUTO, &w, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(h.get_word(OPT_RESOLUTION), 250);
}

TEST_F(Options, SourceMatching) {
    TestHandle h;
    // Abbreviations pick the feeder but re-shape nothing.
    for (const char* text : {"adf", "Automatic", "auto"}) {
        h.set_string(OPT_SOURCE, "Flatbed");
        h.set_string(OPT_SOURCE, text);
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF) << text;
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list) << text;
        EXPECT_EQ(h->opt[OPT_PREVIEW].cap, SANE_CAP_SOFT_DETECT) << text;
        EXPECT_STREQ(paperSize_list[5], "4x6 in") << text;
    }
    // The empty string matches the first candidate: flatbed.
    h.set_string(OPT_SOURCE, "");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);
    h.set_string(OPT_SOURCE, "Transparency");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);
    // A longer text is no prefix of a candidate.
    h.set_string(OPT_SOURCE, "ADF2");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);

    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, adf_resbit_list);
    EXPECT_EQ(h->opt[OPT_PREVIEW].cap, SANE_CAP_INACTIVE);
    EXPECT_EQ(paperSize_list[5], std::string("Custom"));
    EXPECT_EQ(paperSize_list[6], nullptr);
    EXPECT_EQ(h.get_string(OPT_SOURCE), "Automatic Document Feeder");
}

TEST_F(Options, ModeMatching) {
    TestHandle h;
    h.set_string(OPT_MODE, "");
    EXPECT_EQ(h->user_params.ScanColor, BlackWhite);
    h.set_string(OPT_MODE, "gr");
    EXPECT_EQ(h->user_params.ScanColor, Gray);
    h.set_string(OPT_MODE, "black & white");
    EXPECT_EQ(h->user_params.ScanColor, BlackWhite);
    h.set_string(OPT_MODE, "Color");
    EXPECT_EQ(h->user_params.ScanColor, TrueColor);
    h.set_string(OPT_MODE, "Lineart");
    EXPECT_EQ(h->user_params.ScanColor, TrueColor);
    EXPECT_EQ(h.get_string(OPT_MODE), "Lineart");
}

TEST_F(Options, PaperSizes) {
    TestHandle h;
    const struct {
        const char* text;
        SANE_Word width, height;
        int size;
    } rows[] = {
        {"Full Size", 0xD7E666, 0x1290000, ScanSize_FullSize},
        {"A4 (210 x 297 mm)", 0xD20000, 0x1290000, ScanSize_A4},
        {"Letter (8.5 x 11 in)", 0xD7E666, 0x1176666, ScanSize_Letter},
        {"A5 (148 x 210 mm)", 0x940000, 0xD20000, ScanSize_A5},
        {"B5 (182 x 257 mm)", 0xB60000, 0x1010000, ScanSize_B5},
        {"4x6 in", 0x659999, 0x986666, ScanSize_4x6},
    };
    for (const auto& row : rows) {
        h.set_word(OPT_TL_Y, mm(5));
        h.set_string(OPT_PAPERSIZE, row.text);
        EXPECT_EQ(h.get_word(OPT_WIDTH), row.width) << row.text;
        EXPECT_EQ(h.get_word(OPT_BR_X), row.width) << row.text;
        EXPECT_EQ(h.get_word(OPT_HEIGHT), row.height) << row.text;
        EXPECT_EQ(h.get_word(OPT_BR_Y), row.height) << row.text;
        EXPECT_EQ(h.get_word(OPT_TL_X), 0) << row.text;
        EXPECT_EQ(h.get_word(OPT_TL_Y), 0) << row.text;
        EXPECT_EQ(h->pageSize, row.size) << row.text;
    }
    EXPECT_TRUE(h->hasXYPositionFromApp);

    // The entry must be a prefix of the value: more text after it still matches.
    h.set_string(OPT_PAPERSIZE, "a4 (210 x 297 mm) portrait");
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(h.get_word(OPT_WIDTH), 0xD20000);
    // "A4" alone matches nothing: stored, size kept, placement still runs.
    h.set_word(OPT_TL_X, mm(3));
    h.set_string(OPT_PAPERSIZE, "A4");
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "A4");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0);
    EXPECT_EQ(h.get_word(OPT_BR_X), 0xD20000);
    // "Custom" keeps the area.
    h.set_word(OPT_WIDTH, mm(100));
    h.set_string(OPT_PAPERSIZE, "Custom");
    EXPECT_EQ(h->pageSize, ScanSize_Custom);
    EXPECT_EQ(h.get_word(OPT_WIDTH), mm(100));
    EXPECT_EQ(h.get_word(OPT_BR_X), mm(100));
}

TEST_F(Options, GeometryArithmetic) {
    TestHandle h;
    EXPECT_FALSE(h->hasXYPositionFromApp);
    h.set_word(OPT_TL_X, mm(10));
    EXPECT_TRUE(h->hasXYPositionFromApp);
    EXPECT_EQ(h.get_word(OPT_BR_X), mm(216));
    EXPECT_EQ(h.get_word(OPT_WIDTH), mm(216));
    h.set_word(OPT_BR_X, mm(110));
    EXPECT_EQ(h.get_word(OPT_WIDTH), mm(100));
    EXPECT_EQ(h->pageSize, ScanSize_Custom);
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "Custom");

    h.set_word(OPT_TL_Y, mm(20));
    h.set_word(OPT_BR_Y, mm(120));
    EXPECT_EQ(h.get_word(OPT_HEIGHT), mm(100));
    h.set_word(OPT_HEIGHT, mm(50));
    EXPECT_EQ(h.get_word(OPT_BR_Y), mm(70));
    h.set_word(OPT_WIDTH, mm(30));
    EXPECT_EQ(h.get_word(OPT_BR_X), mm(40));
}

TEST_F(Options, FeederPlacementAndReset) {
    TestHandle h;
    h.set_string(OPT_PAPERSIZE, "4x6 in");
    h.set_word(OPT_RESOLUTION, 1200);
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "A4 (210 x 297 mm)");
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(h.get_word(OPT_WIDTH), 0xD20000);
    EXPECT_EQ(h.get_word(OPT_TL_X), 0);  // the reset is not centred
    EXPECT_EQ(h.get_word(OPT_BR_X), 0xD20000);
    EXPECT_EQ(h.get_word(OPT_RESOLUTION), 600);
    EXPECT_EQ(h->user_params.xResolution, 600u);
    EXPECT_EQ(h->user_params.yResolution, 600u);

    h.set_string(OPT_PAPERSIZE, "Letter (8.5 x 11 in)");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0);
    EXPECT_EQ(h.get_word(OPT_BR_X), 0xD7E666);
    h.set_string(OPT_PAPERSIZE, "A5 (148 x 210 mm)");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0x6BF333 - 0x940000 / 2);
    EXPECT_EQ(h.get_word(OPT_BR_X), 0x6BF333 - 0x940000 / 2 + 0x940000);

    // A paper of the feeder's list survives the switch; back on the flatbed
    // the area returns to the left edge.
    h.set_string(OPT_SOURCE, "Flatbed");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0);
    EXPECT_EQ(h.get_word(OPT_BR_X), 0x940000);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    EXPECT_STREQ(paperSize_list[5], "4x6 in");
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "A5 (148 x 210 mm)");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0x6BF333 - 0x940000 / 2);
    // A differently capitalised paper is no entry of the list: reset to A4.
    h.set_string(OPT_PAPERSIZE, "a5 (148 x 210 mm)");
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h.get_string(OPT_PAPERSIZE), "A4 (210 x 297 mm)");
}

TEST_F(Options, RightRearDevice) {
    TestHandle h(true, true);
    h.set_string(OPT_PAPERSIZE, "A5 (148 x 210 mm)");
    EXPECT_EQ(h.get_word(OPT_TL_X), 0xD7E666 - 0x940000);  // 67.9 mm
    EXPECT_EQ(h.get_word(OPT_BR_X), 0xD7E666);

    // Without an area placed by the frontend, the flatbed switch keeps tl-x.
    TestHandle fresh(true, true);
    fresh.set_string(OPT_SOURCE, "Flatbed");
    EXPECT_EQ(fresh.get_word(OPT_TL_X), 0);
    EXPECT_EQ(fresh.get_word(OPT_BR_X), mm(216));
    fresh.set_word(OPT_TL_Y, 0);  // places the area
    fresh.set_string(OPT_SOURCE, "Flatbed");
    EXPECT_EQ(fresh.get_word(OPT_TL_X), 0xD7E666 - mm(216));
    EXPECT_EQ(fresh.get_word(OPT_BR_X), 0xD7E666);
}

TEST_F(Options, DeviceWithoutFeeder) {
    TestHandle h(false);
    EXPECT_EQ(h->opt[OPT_SOURCE].cap, SANE_CAP_INACTIVE);
    EXPECT_STREQ(source_list[0], "Flatbed");
    EXPECT_EQ(source_list[1], nullptr);
    EXPECT_EQ(h->opt[OPT_SOURCE].size, 8);
    EXPECT_EQ(h.get_string(OPT_SOURCE), "Flatbed");
    // The shared list stays short for handles opened later, feeder or not.
    TestHandle other;
    EXPECT_EQ(source_list[1], nullptr);
    EXPECT_EQ(other->opt[OPT_SOURCE].size, 8);

    // A stored value longer than the descriptor allows is cut on reading,
    // never written past the caller's buffer.
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(sane_orvela_control_option(h.get(), OPT_SOURCE, SANE_ACTION_GET_VALUE, buf, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(buf, "Automat");
    EXPECT_EQ(buf[8], 'x');
}

TEST_F(Options, SharedPaperListAcrossHandles) {
    TestHandle a;
    TestHandle b;
    a.set_string(OPT_SOURCE, "Automatic Document Feeder");
    // b's descriptor points at the same list, which now lacks "4x6 in".
    const SANE_String_Const* list = sane_orvela_get_option_descriptor(b.get(), OPT_PAPERSIZE)->constraint.string_list;
    int n = 0;
    while (list[n] != nullptr) ++n;
    EXPECT_EQ(n, 6);
    EXPECT_EQ(b->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    b.set_string(OPT_SOURCE, "Flatbed");
    n = 0;
    while (list[n] != nullptr) ++n;
    EXPECT_EQ(n, 7);
}

// (simple-scan's lists: test_translations, HostsThatStayEnglish.)
TEST_F(Options, EFileAppHost) {
    use_host("EFileApp");
    TestHandle h;
    EXPECT_STREQ(source_list[1], "ADF");
    // "ADF" selects the feeder without re-shaping the lists.
    h.set_string(OPT_SOURCE, "ADF");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    EXPECT_EQ(h->opt[OPT_SOURCE].size, static_cast<SANE_Int>(strlen("Flatbed") + 1));
}

}  // namespace
