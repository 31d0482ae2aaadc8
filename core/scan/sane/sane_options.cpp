// The twelve scan options of an open handle: descriptors and defaults,
// get/set, and the re-shaping of the lists when the scan source changes.
//
// Only source, mode, resolution and page size are meant to be set; the
// geometry options advertise detect-only but are accepted like the others.
// Values are not checked against their constraints here: the area check of
// sane_orvela_start refuses what cannot be scanned.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "common/debugtool.h"
#include "core/scan/sane/paper_sizes.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "core/scan/sane/sane_options.h"

extern "C" {

const SANE_Range x_range = {0, SANE_FIX(205), 0x1999};
const SANE_Range y_range = {0, SANE_FIX(286), 0x1999};
const SANE_Range w_range = {0, SANE_FIX(216), 0x1999};
const SANE_Range h_range = {0, SANE_FIX(297), 0x1999};

}  // extern "C"

const SANE_Word resbit_list[] = {6, 100, 200, 300, 400, 600, 1200};
const SANE_Word resbit_list_simple_scan[] = {5, 75, 150, 300, 600, 1200};
const SANE_Word adf_resbit_list[] = {5, 100, 200, 300, 400, 600};
// simple-scan asks for its own values (its "Text" scan for 150 dpi) and takes
// the nearest entry of the list without a word: a feeder list of its values,
// up to the feeder's 600, as for the flatbed (any value is rescaled to).
const SANE_Word adf_resbit_list_simple_scan[] = {4, 75, 150, 300, 600};

namespace {

constexpr SANE_Int kSoftOptionCaps = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

// SANE_Fixed sums and differences wrap like the 32-bit integers they are.
SANE_Word fixed_add(SANE_Word a, SANE_Word b) {
    return static_cast<SANE_Word>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
SANE_Word fixed_sub(SANE_Word a, SANE_Word b) {
    return static_cast<SANE_Word>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

SANE_Int max_string_size(const SANE_String_Const* list) {
    size_t longest = 0;
    for (int i = 0; list[i] != nullptr; ++i) longest = std::max(longest, strlen(list[i]) + 1);
    return longest == 0 ? 1 : static_cast<SANE_Int>(longest);
}

// The texts that choose the source and the mode: a text chooses the value of
// the first candidate it matches, in the host's language (TL) or in English.
// Setting the option takes any case-insensitive prefix of a candidate
// (abbreviations pass; the empty text matches the first); mode_update
// re-shapes the options only for a whole list entry, the first two source
// candidates.
struct Candidate {
    const char* text;
    int value;
    bool translated;  // also in the host's language
};
constexpr Candidate kSourceCandidates[] = {
    {"Flatbed", ScanSource_Flatbed, true},
    {"Automatic Document Feeder", ScanSource_ADF, true},
    {"ADF", ScanSource_ADF, false},
};
constexpr Candidate kModeCandidates[] = {{"Black & White", BlackWhite, true}, {"Gray", Gray, true}};

enum class Match { Prefix, Whole };

int chosen(const char* text, std::span<const Candidate> candidates, Match match, int otherwise) {
    for (const Candidate& c : candidates) {
        for (const char* name : {c.translated ? TL(c.text) : nullptr, c.text}) {
            if (name == nullptr) continue;
            if (match == Match::Whole ? strcmp(text, name) == 0 : strncasecmp(text, name, strlen(text)) == 0)
                return c.value;
        }
    }
    return otherwise;
}

// Points a string option's value at a copy of text, which the handle owns;
// keeps the old value when the copy cannot be made.
bool set_string_value(orvela_scanner_t* s, int option, const char* text) {
    if (text == nullptr) text = "";
    const size_t size = strlen(text) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy == nullptr) return false;
    memcpy(copy.get(), text, size);
    s->string_values[option] = std::move(copy);
    s->val[option].s = s->string_values[option].get();
    return true;
}

// A word-sized descriptor without a constraint, soft-selectable and
// detectable unless `cap` says otherwise.
SANE_Option_Descriptor descriptor(const char* name, const char* title, const char* desc, SANE_Value_Type type,
                                  SANE_Unit unit, SANE_Int cap = kSoftOptionCaps) {
    SANE_Option_Descriptor d{};
    d.name = name;
    d.title = title;
    d.desc = desc;
    d.type = type;
    d.unit = unit;
    d.size = sizeof(SANE_Word);
    d.cap = cap;
    d.constraint_type = SANE_CONSTRAINT_NONE;
    return d;
}

SANE_Option_Descriptor string_option(const char* name, const char* title, const char* desc,
                                     const SANE_String_Const* list) {
    SANE_Option_Descriptor d = descriptor(name, title, desc, SANE_TYPE_STRING, SANE_UNIT_NONE);
    d.size = max_string_size(list);
    d.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    d.constraint.string_list = list;
    return d;
}

SANE_Option_Descriptor fixed_option(const char* name, const char* title, const char* desc, const SANE_Range* range,
                                    SANE_Int cap) {
    SANE_Option_Descriptor d = descriptor(name, title, desc, SANE_TYPE_FIXED, SANE_UNIT_MM, cap);
    d.constraint_type = SANE_CONSTRAINT_RANGE;
    d.constraint.range = range;
    return d;
}

// Places the area horizontally from its width: centred on the feeder path,
// against the far side of the bed for right-rear devices, else at the left.
void place_area_horizontally(orvela_scanner_t* s) {
    const SANE_Word w = s->val[OPT_WIDTH].w;
    if (s->user_params.ScanSource == ScanSource_ADF) {
        s->val[OPT_TL_X].w = fixed_sub(kBedHalfWidthFixed, w / 2);
        s->val[OPT_BR_X].w = fixed_add(s->val[OPT_TL_X].w, w);
    } else if (s->device.isRightRearBP) {
        s->val[OPT_TL_X].w = fixed_sub(kBedWidthFixed, w);
        s->val[OPT_BR_X].w = kBedWidthFixed;
    } else {
        s->val[OPT_TL_X].w = 0;
        s->val[OPT_BR_X].w = w;
    }
}

// The area of a paper size, at the top left.
void set_paper_area(orvela_scanner_t* s, const PaperSize& paper) {
    s->val[OPT_WIDTH].w = s->val[OPT_BR_X].w = paper.width;
    s->val[OPT_HEIGHT].w = s->val[OPT_BR_Y].w = paper.height;
    s->val[OPT_TL_X].w = s->val[OPT_TL_Y].w = 0;
}

void set_paper_size(orvela_scanner_t* s, const char* text) {
    set_string_value(s, OPT_PAPERSIZE, text);
    s->hasXYPositionFromApp = true;
    DBG_INFO("set paper size: %s\n", text);
    // The first paper whose whole (translated) name begins the text.
    for (const PaperSize& paper : kPaperSizes) {
        const char* name = TL(paper.name);
        if (strncasecmp(name, text, strlen(name)) != 0) continue;
        s->pageSize = paper.code;
        if (paper_sets_area(paper)) set_paper_area(s, paper);
        break;
    }
    place_area_horizontally(s);
}

void set_source(orvela_scanner_t* s, const char* text) {
    set_string_value(s, OPT_SOURCE, text);
    DBG_INFO("source: %s\n", text);
    s->user_params.ScanSource = chosen(text, kSourceCandidates, Match::Prefix, ScanSource_Flatbed);
    mode_update(s, text);
}

void set_mode(orvela_scanner_t* s, const char* text) {
    set_string_value(s, OPT_MODE, text);
    DBG_INFO("mode: %s\n", text);
    s->user_params.ScanColor = chosen(text, kModeCandidates, Match::Prefix, TrueColor);
}

void mark_custom_size(orvela_scanner_t* s) {
    set_string_value(s, OPT_PAPERSIZE, TL(paper_size(ScanSize_Custom).name));
    s->pageSize = ScanSize_Custom;
}

bool is_string_option(int option) { return option == OPT_SOURCE || option == OPT_MODE || option == OPT_PAPERSIZE; }

SANE_Status set_value(orvela_scanner_t* s, int option, void* value) {
    Option_Value* v = s->val;
    // Word options only: a string value may be shorter than a word.
    const SANE_Word word = is_string_option(option) ? 0 : *static_cast<const SANE_Word*>(value);
    switch (option) {
        case OPT_SOURCE:
            set_source(s, static_cast<const char*>(value));
            break;
        case OPT_MODE:
            set_mode(s, static_cast<const char*>(value));
            break;
        case OPT_RESOLUTION:
            v[OPT_RESOLUTION].w = word;
            s->user_params.xResolution = static_cast<unsigned>(word);
            DBG_INFO("resolution, opt=%d\n", word);
            break;
        case OPT_PREVIEW:
            v[OPT_PREVIEW].w = word;
            break;
        case OPT_PAPERSIZE:
            set_paper_size(s, static_cast<const char*>(value));
            break;
        case OPT_WIDTH:
            v[OPT_WIDTH].w = word;
            v[OPT_BR_X].w = fixed_add(word, v[OPT_TL_X].w);
            break;
        case OPT_HEIGHT:
            v[OPT_HEIGHT].w = word;
            v[OPT_BR_Y].w = fixed_add(word, v[OPT_TL_Y].w);
            break;
        case OPT_TL_X:
        case OPT_TL_Y:
            v[option].w = word;
            s->hasXYPositionFromApp = true;
            break;
        case OPT_BR_X:
            v[OPT_BR_X].w = word;
            v[OPT_WIDTH].w = fixed_sub(word, v[OPT_TL_X].w);
            mark_custom_size(s);
            break;
        case OPT_BR_Y:
            v[OPT_BR_Y].w = word;
            v[OPT_HEIGHT].w = fixed_sub(word, v[OPT_TL_Y].w);
            mark_custom_size(s);
            break;
        default:
            break;
    }
    return SANE_STATUS_GOOD;
}

}  // namespace

SANE_Status init_options(orvela_scanner_t* s) {
    SANE_Option_Descriptor* o = s->opt;
    o[OPT_NUM_OPTS] = descriptor("", "Number of options",
                                 "Read-only option that specifies how many options a specific devices supports.",
                                 SANE_TYPE_INT, SANE_UNIT_NONE, SANE_CAP_SOFT_DETECT);
    o[OPT_SOURCE] = string_option("source", TL("Scan source"), "Selects the scan source (such as a document-feeder).",
                                  source_list);
    o[OPT_MODE] = string_option("mode", TL("Scan mode"), "Selects the scan mode (e.g., lineart, monochrome, or color).",
                                mode_list);
    o[OPT_RESOLUTION] = descriptor("resolution", "Scan resolution", "Sets the resolution of the scanned image.",
                                   SANE_TYPE_INT, SANE_UNIT_DPI);
    o[OPT_RESOLUTION].constraint_type = SANE_CONSTRAINT_WORD_LIST;
    o[OPT_RESOLUTION].constraint.word_list = gIsSimpleScanApp ? resbit_list_simple_scan : resbit_list;
    o[OPT_PREVIEW] = descriptor("preview", "Preview", "Request a preview-quality scan.", SANE_TYPE_BOOL,
                                SANE_UNIT_NONE, SANE_CAP_SOFT_DETECT);
    o[OPT_PAPERSIZE] = string_option("Page Size", TL("Page Size"), TL("Page Size"), paperSize_list);
    o[OPT_WIDTH] = fixed_option("page-width", TL("Page width"),
                                "Specifies the width of the media.  Required for automatic centering of sheet-fed scans.",
                                &w_range, SANE_CAP_SOFT_DETECT | SANE_CAP_INACTIVE);
    o[OPT_HEIGHT] = fixed_option("page-height", TL("Page height"), "Specifies the height of the media.", &h_range,
                                 SANE_CAP_SOFT_DETECT | SANE_CAP_INACTIVE);
    o[OPT_TL_X] = fixed_option("tl-x", TL("Top-left x"), "Top-left x position of scan area.", &x_range,
                               SANE_CAP_SOFT_DETECT);
    o[OPT_TL_Y] = fixed_option("tl-y", TL("Top-left y"), "Top-left y position of scan area.", &y_range,
                               SANE_CAP_SOFT_DETECT);
    o[OPT_BR_X] = fixed_option("br-x", TL("Bottom-right x"), "Bottom-right x position of scan area.", &w_range,
                               SANE_CAP_SOFT_DETECT);
    o[OPT_BR_Y] = fixed_option("br-y", TL("Bottom-right y"), "Bottom-right y position of scan area.", &h_range,
                               SANE_CAP_SOFT_DETECT);
    s->val[OPT_NUM_OPTS].w = NUM_OPTIONS;
    s->val[OPT_RESOLUTION].w = 300;
    s->val[OPT_PREVIEW].w = SANE_FALSE;
    s->val[OPT_WIDTH].w = s->val[OPT_BR_X].w = SANE_FIX(216);
    s->val[OPT_HEIGHT].w = s->val[OPT_BR_Y].w = SANE_FIX(297);
    s->val[OPT_TL_X].w = s->val[OPT_TL_Y].w = 0;

    s->user_params.ScanSource = ScanSource_Flatbed;
    s->user_params.ScanColor = TrueColor;
    s->user_params.xResolution = s->user_params.yResolution = 300;
    s->pageSize = ScanSize_A4;

    if (s->device.isSupportADF) {
        DBG_INFO("Scanner supports ADF!\n");
    } else {
        o[OPT_SOURCE].cap = SANE_CAP_INACTIVE;
        // The shared list ends after its flatbed entry for every handle, until
        // the next initialisation rebuilds it.
        keep_flatbed_source_only();
        o[OPT_SOURCE].size = max_string_size(source_list);
        DBG_INFO("Scanner has not ADF!\n");
    }

    const bool copied = set_string_value(s, OPT_SOURCE, source_list[0]) &&
                        set_string_value(s, OPT_MODE, mode_list[0]) &&
                        set_string_value(s, OPT_PAPERSIZE, TL(paper_size(ScanSize_A4).name));
    return copied ? SANE_STATUS_GOOD : SANE_STATUS_NO_MEM;
}

void release_options(orvela_scanner_t* s) {
    for (int option = 0; option < NUM_OPTIONS; ++option) {
        if (!is_string_option(option)) continue;
        s->val[option].s = nullptr;
        s->string_values[option].reset();
    }
}

SANE_Status mode_update(orvela_scanner_t* s, const char* source) {
    DBG_INFO("mode_update val=%s\n", source);
    Option_Value* v = s->val;
    const int listed = chosen(source, std::span(kSourceCandidates).first(2), Match::Whole, -1);
    if (listed == ScanSource_Flatbed) {
        s->opt[OPT_RESOLUTION].constraint.word_list = gIsSimpleScanApp ? resbit_list_simple_scan : resbit_list;
        s->opt[OPT_PREVIEW].cap = SANE_CAP_SOFT_DETECT;
        // A right-rear bed moves the area only once the frontend placed it.
        if (!s->device.isRightRearBP || s->hasXYPositionFromApp) place_area_horizontally(s);
        build_paper_list(false);
        s->opt[OPT_PAPERSIZE].size = max_string_size(paperSize_list);
    } else if (listed == ScanSource_ADF) {
        s->opt[OPT_RESOLUTION].constraint.word_list = gIsSimpleScanApp ? adf_resbit_list_simple_scan : adf_resbit_list;
        if (v[OPT_RESOLUTION].w > 600) {
            v[OPT_RESOLUTION].w = 600;
            s->user_params.xResolution = s->user_params.yResolution = 600;
        }
        s->opt[OPT_PREVIEW].cap = SANE_CAP_INACTIVE;
        place_area_horizontally(s);
        build_paper_list(true);
        s->opt[OPT_PAPERSIZE].size = max_string_size(paperSize_list);

        // containStringValue: is the current paper one of the feeder's?
        const char* current = v[OPT_PAPERSIZE].s != nullptr ? v[OPT_PAPERSIZE].s : "";
        bool found = false;
        for (int i = 0; paperSize_list[i] != nullptr && !found; ++i) {
            DBG_INFO("%s - %s\n", current, paperSize_list[i]);
            found = strcmp(current, paperSize_list[i]) == 0;
        }
        if (!found) {
            // Back to A4 at the top left (not centred: start centres feeder
            // scans from the width alone).
            const PaperSize& a4 = paper_size(ScanSize_A4);
            set_string_value(s, OPT_PAPERSIZE, TL(a4.name));
            s->pageSize = a4.code;
            set_paper_area(s, a4);
        }
    }
    return SANE_STATUS_GOOD;
}

extern "C" {

const SANE_Option_Descriptor* sane_orvela_get_option_descriptor(SANE_Handle handle, SANE_Int option) {
    if (handle == nullptr || option < 0 || option >= NUM_OPTIONS) return nullptr;
    return &static_cast<orvela_scanner_t*>(handle)->opt[option];
}

static SANE_Status sane_orvela_control_option_body(SANE_Handle handle, SANE_Int option, int requested, void* value,
                                                   SANE_Int* info) {
    DBG_INFO("Run into sane_control_option\n");
    if (info != nullptr) *info = 0;
    if (option < 0 || option >= NUM_OPTIONS) return SANE_STATUS_INVAL;
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;

    switch (requested) {
        case SANE_ACTION_GET_VALUE: {
            DBG_INFO("SANE_ACTION_GET_VALUE, opt=%d\n", option);
            if (value == nullptr) return SANE_STATUS_INVAL;
            if (is_string_option(option)) {
                // The caller's buffer holds the descriptor's size; a stored
                // value longer than that (one off the list) is cut to fit.
                const char* text = s->val[option].s != nullptr ? s->val[option].s : "";
                const size_t room = s->opt[option].size > 0 ? static_cast<size_t>(s->opt[option].size) : 1;
                const size_t n = std::min(strlen(text), room - 1);
                memcpy(value, text, n);
                static_cast<char*>(value)[n] = '\0';
            } else {
                *static_cast<SANE_Word*>(value) = s->val[option].w;
            }
            return SANE_STATUS_GOOD;
        }
        case SANE_ACTION_SET_VALUE:
            DBG_INFO("SANE_ACTION_SET_VALUE, opt=%d\n", option);
            if (option == OPT_NUM_OPTS) return SANE_STATUS_GOOD;
            if (value == nullptr) return SANE_STATUS_INVAL;
            set_value(s, option, value);
            if (info != nullptr) *info = SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS;
            return SANE_STATUS_GOOD;
        case SANE_ACTION_SET_AUTO:
            DBG_INFO("SANE_ACTION_SET_AUTO, opt=%d\n", option);
            return SANE_STATUS_GOOD;
        default:
            return SANE_STATUS_GOOD;
    }
}

SANE_Status sane_orvela_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                                       SANE_Int* info) {
    // The action comes from a C caller (or over the network through saned)
    // and may be any int: it is read as one, never as an out-of-range enum.
    int requested = 0;
    static_assert(sizeof requested == sizeof action);
    memcpy(&requested, &action, sizeof requested);
    return sane_call("sane_orvela_control_option",
                     [&] { return sane_orvela_control_option_body(handle, option, requested, value, info); });
}

}  // extern "C"
