// The option set of an open handle: descriptors, defaults, the matching rules
// of source, mode and paper size, and the re-shaping on a source change.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/scan/sane_globals.h"
#include "core/scan/sane_handle.h"
#include "core/scan/sane_name_lists.h"

extern "C" {
SANE_Status sane_orvela_control_option(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*);
const SANE_Option_Descriptor* sane_orvela_get_option_descriptor(SANE_Handle, SANE_Int);
}

namespace {

constexpr SANE_Word mm(double v) { return static_cast<SANE_Word>(v * 65536.0); }

struct HandleDeleter {
    void operator()(orvela_scanner_t* s) const {
        release_options(s);
        delete s;
    }
};
using Handle = std::unique_ptr<orvela_scanner_t, HandleDeleter>;

class Options : public ::testing::Test {
protected:
    void SetUp() override { use_host("test_sane_options", false); }
    void TearDown() override { use_host("test_sane_options", false); }

    // Rebuilds the shared lists as initialisation would for this host.
    static void use_host(const char* name, bool simple_scan) {
        snprintf(gApplicationName, sizeof gApplicationName, "%s", name);
        gIsSimpleScanApp = simple_scan;
        build_name_lists();
    }

    static Handle open_handle(bool adf, bool right_rear = false) {
        Handle h(new orvela_scanner_t{});
        h->device.isSupportADF = adf;
        h->device.isRightRearBP = right_rear;
        EXPECT_EQ(init_options(h.get()), SANE_STATUS_GOOD);
        return h;
    }

    static SANE_Status set_string(orvela_scanner_t* s, int opt, const char* text, SANE_Int* info = nullptr) {
        std::string copy(text);
        return sane_orvela_control_option(s, opt, SANE_ACTION_SET_VALUE, copy.data(), info);
    }
    static SANE_Status set_word(orvela_scanner_t* s, int opt, SANE_Word w, SANE_Int* info = nullptr) {
        return sane_orvela_control_option(s, opt, SANE_ACTION_SET_VALUE, &w, info);
    }
    static std::string get_string(orvela_scanner_t* s, int opt) {
        std::string buf(static_cast<size_t>(s->opt[opt].size), '\x7f');
        EXPECT_EQ(sane_orvela_control_option(s, opt, SANE_ACTION_GET_VALUE, buf.data(), nullptr), SANE_STATUS_GOOD);
        return buf.c_str();
    }
    static SANE_Word get_word(orvela_scanner_t* s, int opt) {
        SANE_Word w = -1;
        EXPECT_EQ(sane_orvela_control_option(s, opt, SANE_ACTION_GET_VALUE, &w, nullptr), SANE_STATUS_GOOD);
        return w;
    }
};

TEST_F(Options, DescriptorsAndDefaults) {
    Handle h = open_handle(true);
    const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(h.get(), OPT_NUM_OPTS);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "");
    EXPECT_EQ(d->type, SANE_TYPE_INT);
    EXPECT_EQ(d->cap, SANE_CAP_SOFT_DETECT);
    EXPECT_EQ(get_word(h.get(), OPT_NUM_OPTS), 12);

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

    EXPECT_EQ(get_string(h.get(), OPT_SOURCE), "Flatbed");
    EXPECT_EQ(get_string(h.get(), OPT_MODE), "Color");
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "A4 (210 x 297 mm)");
    EXPECT_EQ(get_word(h.get(), OPT_RESOLUTION), 300);
    EXPECT_EQ(get_word(h.get(), OPT_PREVIEW), SANE_FALSE);
    // The default area is the whole 216 x 297 mm window although the paper says A4.
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), mm(216));
    EXPECT_EQ(get_word(h.get(), OPT_BR_Y), mm(297));
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0);
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
    Handle h = open_handle(true);
    SANE_Int info = -1;
    EXPECT_EQ(get_word(h.get(), OPT_NUM_OPTS), 12);
    EXPECT_EQ(set_word(h.get(), OPT_NUM_OPTS, 99, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(get_word(h.get(), OPT_NUM_OPTS), 12);

    // An off-list resolution is stored; only x follows it.
    EXPECT_EQ(set_word(h.get(), OPT_RESOLUTION, 250, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS);
    EXPECT_EQ(get_word(h.get(), OPT_RESOLUTION), 250);
    EXPECT_EQ(h->user_params.xResolution, 250u);
    EXPECT_EQ(h->user_params.yResolution, 300u);

    // Out-of-range lengths are stored unchanged; inactive options are set too.
    EXPECT_EQ(set_word(h.get(), OPT_WIDTH, mm(400)), SANE_STATUS_GOOD);
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), mm(400));

    info = -1;
    SANE_Word w = 0;
    EXPECT_EQ(sane_orvela_control_option(h.get(), OPT_RESOLUTION, SANE_ACTION_SET_AUTO, &w, &info), SANE_STATUS_GOOD);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(get_word(h.get(), OPT_RESOLUTION), 250);
}

TEST_F(Options, SourceMatching) {
    Handle h = open_handle(true);
    // Abbreviations pick the feeder but re-shape nothing.
    for (const char* text : {"adf", "Automatic", "auto"}) {
        EXPECT_EQ(set_string(h.get(), OPT_SOURCE, "Flatbed"), SANE_STATUS_GOOD);
        EXPECT_EQ(set_string(h.get(), OPT_SOURCE, text), SANE_STATUS_GOOD);
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF) << text;
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list) << text;
        EXPECT_EQ(h->opt[OPT_PREVIEW].cap, SANE_CAP_SOFT_DETECT) << text;
        EXPECT_STREQ(paperSize_list[5], "4x6 in") << text;
    }
    // The empty string matches the first candidate: flatbed.
    EXPECT_EQ(set_string(h.get(), OPT_SOURCE, ""), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);
    EXPECT_EQ(set_string(h.get(), OPT_SOURCE, "Transparency"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);
    // A longer text is no prefix of a candidate.
    EXPECT_EQ(set_string(h.get(), OPT_SOURCE, "ADF2"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);

    EXPECT_EQ(set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, adf_resbit_list);
    EXPECT_EQ(h->opt[OPT_PREVIEW].cap, SANE_CAP_INACTIVE);
    EXPECT_EQ(paperSize_list[5], std::string("Custom"));
    EXPECT_EQ(paperSize_list[6], nullptr);
    EXPECT_EQ(get_string(h.get(), OPT_SOURCE), "Automatic Document Feeder");
}

TEST_F(Options, ModeMatching) {
    Handle h = open_handle(true);
    EXPECT_EQ(set_string(h.get(), OPT_MODE, ""), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanColor, BlackWhite);
    EXPECT_EQ(set_string(h.get(), OPT_MODE, "gr"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanColor, Gray);
    EXPECT_EQ(set_string(h.get(), OPT_MODE, "black & white"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanColor, BlackWhite);
    EXPECT_EQ(set_string(h.get(), OPT_MODE, "Color"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanColor, TrueColor);
    EXPECT_EQ(set_string(h.get(), OPT_MODE, "Lineart"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->user_params.ScanColor, TrueColor);
    EXPECT_EQ(get_string(h.get(), OPT_MODE), "Lineart");
}

TEST_F(Options, PaperSizes) {
    Handle h = open_handle(true);
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
        set_word(h.get(), OPT_TL_Y, mm(5));
        EXPECT_EQ(set_string(h.get(), OPT_PAPERSIZE, row.text), SANE_STATUS_GOOD);
        EXPECT_EQ(get_word(h.get(), OPT_WIDTH), row.width) << row.text;
        EXPECT_EQ(get_word(h.get(), OPT_BR_X), row.width) << row.text;
        EXPECT_EQ(get_word(h.get(), OPT_HEIGHT), row.height) << row.text;
        EXPECT_EQ(get_word(h.get(), OPT_BR_Y), row.height) << row.text;
        EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0) << row.text;
        EXPECT_EQ(get_word(h.get(), OPT_TL_Y), 0) << row.text;
        EXPECT_EQ(h->pageSize, row.size) << row.text;
    }
    EXPECT_TRUE(h->hasXYPositionFromApp);

    // The entry must be a prefix of the value: more text after it still matches.
    EXPECT_EQ(set_string(h.get(), OPT_PAPERSIZE, "a4 (210 x 297 mm) portrait"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), 0xD20000);
    // "A4" alone matches nothing: stored, size kept, placement still runs.
    set_word(h.get(), OPT_TL_X, mm(3));
    EXPECT_EQ(set_string(h.get(), OPT_PAPERSIZE, "A4"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "A4");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0xD20000);
    // "Custom" keeps the area.
    set_word(h.get(), OPT_WIDTH, mm(100));
    EXPECT_EQ(set_string(h.get(), OPT_PAPERSIZE, "Custom"), SANE_STATUS_GOOD);
    EXPECT_EQ(h->pageSize, ScanSize_Custom);
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), mm(100));
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), mm(100));
}

TEST_F(Options, GeometryArithmetic) {
    Handle h = open_handle(true);
    EXPECT_FALSE(h->hasXYPositionFromApp);
    set_word(h.get(), OPT_TL_X, mm(10));
    EXPECT_TRUE(h->hasXYPositionFromApp);
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), mm(216));
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), mm(216));
    set_word(h.get(), OPT_BR_X, mm(110));
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), mm(100));
    EXPECT_EQ(h->pageSize, ScanSize_Custom);
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "Custom");

    set_word(h.get(), OPT_TL_Y, mm(20));
    set_word(h.get(), OPT_BR_Y, mm(120));
    EXPECT_EQ(get_word(h.get(), OPT_HEIGHT), mm(100));
    set_word(h.get(), OPT_HEIGHT, mm(50));
    EXPECT_EQ(get_word(h.get(), OPT_BR_Y), mm(70));
    set_word(h.get(), OPT_WIDTH, mm(30));
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), mm(40));
}

TEST_F(Options, FeederPlacementAndReset) {
    Handle h = open_handle(true);
    set_string(h.get(), OPT_PAPERSIZE, "4x6 in");
    set_word(h.get(), OPT_RESOLUTION, 1200);
    set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "A4 (210 x 297 mm)");
    EXPECT_EQ(h->pageSize, ScanSize_A4);
    EXPECT_EQ(get_word(h.get(), OPT_WIDTH), 0xD20000);
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0);  // the reset is not centred
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0xD20000);
    EXPECT_EQ(get_word(h.get(), OPT_RESOLUTION), 600);
    EXPECT_EQ(h->user_params.xResolution, 600u);
    EXPECT_EQ(h->user_params.yResolution, 600u);

    set_string(h.get(), OPT_PAPERSIZE, "Letter (8.5 x 11 in)");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0xD7E666);
    set_string(h.get(), OPT_PAPERSIZE, "A5 (148 x 210 mm)");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0x6BF333 - 0x940000 / 2);
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0x6BF333 - 0x940000 / 2 + 0x940000);

    // A paper of the feeder's list survives the switch; back on the flatbed
    // the area returns to the left edge.
    set_string(h.get(), OPT_SOURCE, "Flatbed");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0x940000);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    EXPECT_STREQ(paperSize_list[5], "4x6 in");
    set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "A5 (148 x 210 mm)");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0x6BF333 - 0x940000 / 2);
    // A differently capitalised paper is no entry of the list: reset to A4.
    set_string(h.get(), OPT_PAPERSIZE, "a5 (148 x 210 mm)");
    set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(get_string(h.get(), OPT_PAPERSIZE), "A4 (210 x 297 mm)");
}

TEST_F(Options, RightRearDevice) {
    Handle h = open_handle(true, true);
    set_string(h.get(), OPT_PAPERSIZE, "A5 (148 x 210 mm)");
    EXPECT_EQ(get_word(h.get(), OPT_TL_X), 0xD7E666 - 0x940000);  // 67.9 mm
    EXPECT_EQ(get_word(h.get(), OPT_BR_X), 0xD7E666);

    // Without an area placed by the frontend, the flatbed switch keeps tl-x.
    Handle fresh = open_handle(true, true);
    set_string(fresh.get(), OPT_SOURCE, "Flatbed");
    EXPECT_EQ(get_word(fresh.get(), OPT_TL_X), 0);
    EXPECT_EQ(get_word(fresh.get(), OPT_BR_X), mm(216));
    set_word(fresh.get(), OPT_TL_Y, 0);  // places the area
    set_string(fresh.get(), OPT_SOURCE, "Flatbed");
    EXPECT_EQ(get_word(fresh.get(), OPT_TL_X), 0xD7E666 - mm(216));
    EXPECT_EQ(get_word(fresh.get(), OPT_BR_X), 0xD7E666);
}

TEST_F(Options, DeviceWithoutFeeder) {
    Handle h = open_handle(false);
    EXPECT_EQ(h->opt[OPT_SOURCE].cap, SANE_CAP_INACTIVE);
    EXPECT_STREQ(source_list[0], "Flatbed");
    EXPECT_EQ(source_list[1], nullptr);
    EXPECT_EQ(h->opt[OPT_SOURCE].size, 8);
    EXPECT_EQ(get_string(h.get(), OPT_SOURCE), "Flatbed");
    // The shared list stays short for handles opened later, feeder or not.
    Handle other = open_handle(true);
    EXPECT_EQ(source_list[1], nullptr);
    EXPECT_EQ(other->opt[OPT_SOURCE].size, 8);

    // A stored value longer than the descriptor allows is cut on reading,
    // never written past the caller's buffer.
    set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(sane_orvela_control_option(h.get(), OPT_SOURCE, SANE_ACTION_GET_VALUE, buf, nullptr), SANE_STATUS_GOOD);
    EXPECT_STREQ(buf, "Automat");
    EXPECT_EQ(buf[8], 'x');
}

TEST_F(Options, SharedPaperListAcrossHandles) {
    Handle a = open_handle(true);
    Handle b = open_handle(true);
    set_string(a.get(), OPT_SOURCE, "Automatic Document Feeder");
    // b's descriptor points at the same list, which now lacks "4x6 in".
    const SANE_String_Const* list = sane_orvela_get_option_descriptor(b.get(), OPT_PAPERSIZE)->constraint.string_list;
    int n = 0;
    while (list[n] != nullptr) ++n;
    EXPECT_EQ(n, 6);
    EXPECT_EQ(b->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
    set_string(b.get(), OPT_SOURCE, "Flatbed");
    n = 0;
    while (list[n] != nullptr) ++n;
    EXPECT_EQ(n, 7);
}

TEST_F(Options, HostApplications) {
    use_host("simple-scan", true);
    {
        Handle h = open_handle(true);
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list_simple_scan);
        set_string(h.get(), OPT_SOURCE, "Automatic Document Feeder");
        set_string(h.get(), OPT_SOURCE, "Flatbed");
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list_simple_scan);
    }
    use_host("EFileApp", false);
    {
        Handle h = open_handle(true);
        EXPECT_STREQ(source_list[1], "ADF");
        // "ADF" selects the feeder without re-shaping the lists.
        set_string(h.get(), OPT_SOURCE, "ADF");
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
        EXPECT_EQ(h->opt[OPT_SOURCE].size, static_cast<SANE_Int>(strlen("Flatbed") + 1));
    }
}

}  // namespace
