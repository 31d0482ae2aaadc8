// The German and French catalogues of the text domain "sane_orvela_drv", as
// built into <build>/locale: translated titles and list entries, option
// matching with the translated entries, the hosts that stay English, and the
// same through the shared library loaded by a host program.
#include <gtest/gtest.h>
#include <libintl.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "tests/support/host_probe.h"
#include "tests/support/test_handle.h"
#include "core/scan/sane/sane_options.h"

namespace {

const std::string kLocaleDir = ORVELA_BINARY_DIR "/locale";

struct Language {
    const char* code;
    const char* color;
    const char* gray;
    const char* black_white;
    const char* flatbed;
    const char* feeder;
    std::vector<std::string> papers;  // the seven flatbed entries in list order
    std::vector<std::string> titles;  // source, mode, page size, width, height, tl-x, tl-y, br-x, br-y
};

const Language kGerman = {
    "de", "Farbe", "Graustufen", "Schwarzweiß", "Flachbett", "Automatischer Dokumenteneinzug",
    {"Volle Größe", "A4 (210 x 297 mm)", "Letter (8,5 x 11 Zoll)", "A5 (148 x 210 mm)", "B5 (182 x 257 mm)",
     "4x6 Zoll", "Benutzerdefiniert"},
    {"Scan-Quelle", "Scan-Modus", "Seitengröße", "Seitenbreite", "Seitenhöhe", "Links oben X", "Links oben Y",
     "Rechts unten X", "Rechts unten Y"}};

const Language kFrench = {
    "fr", "Couleur", "Niveaux de gris", "Noir et blanc", "Vitre", "Chargeur automatique de documents",
    {"Taille maximale", "A4 (210 x 297 mm)", "Lettre US (8,5 x 11 po)", "A5 (148 x 210 mm)", "B5 (182 x 257 mm)",
     "4x6 po", "Personnalisé"},
    {"Source de numérisation", "Mode de numérisation", "Format de page", "Largeur de page", "Hauteur de page",
     "Haut gauche X", "Haut gauche Y", "Bas droite X", "Bas droite Y"}};

const Language kEnglish = {
    "", "Color", "Gray", "Black & White", "Flatbed", "Automatic Document Feeder",
    {"Full Size", "A4 (210 x 297 mm)", "Letter (8.5 x 11 in)", "A5 (148 x 210 mm)", "B5 (182 x 257 mm)", "4x6 in",
     "Custom"},
    {"Scan source", "Scan mode", "Page Size", "Page width", "Page height", "Top-left x", "Top-left y",
     "Bottom-right x", "Bottom-right y"}};

const int kTitledOptions[] = {OPT_SOURCE, OPT_MODE,  OPT_PAPERSIZE, OPT_WIDTH, OPT_HEIGHT,
                              OPT_TL_X,   OPT_TL_Y,  OPT_BR_X,      OPT_BR_Y};
const int kPaperSizes[] = {ScanSize_FullSize, ScanSize_A4,  ScanSize_Letter, ScanSize_A5,
                           ScanSize_B5,       ScanSize_4x6, ScanSize_Custom};

class Translations : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(std::filesystem::exists(kLocaleDir + "/de/LC_MESSAGES/sane_orvela_drv.mo"))
            << "build the orvela_catalogues target first";
        for (const std::string& entry : message_locale_env()) {
            const size_t eq = entry.find('=');
            setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
        }
        bindtextdomain("sane_orvela_drv", kLocaleDir.c_str());
    }
    void TearDown() override {
        use_language("");
        use_host("test_translations");
    }

    // Switches the message language; setlocale drops the C library's
    // cache of earlier look-ups.
    static void use_language(const char* code) {
        if (*code != '\0') {
            setenv("LANGUAGE", code, 1);
        } else {
            unsetenv("LANGUAGE");
        }
        setlocale(LC_ALL, "");
    }
    // Every string set reloads the options and the parameters.
    static void set_string(TestHandle& h, int opt, const std::string& text) {
        EXPECT_EQ(h.set_string(opt, text), SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS) << text;
    }
    static std::vector<std::string> entries(const SANE_String_Const* list) {
        std::vector<std::string> v;
        for (int i = 0; list[i] != nullptr; ++i) v.emplace_back(list[i]);
        return v;
    }
    // The descriptor's size holds every entry with its terminator, counted in
    // bytes (the translations carry multi-byte characters).
    static void expect_size_fits(const SANE_Option_Descriptor& d) {
        size_t longest = 0;
        for (const SANE_String_Const* p = d.constraint.string_list; *p != nullptr; ++p) {
            longest = std::max(longest, strlen(*p));
        }
        EXPECT_EQ(static_cast<size_t>(d.size), longest + 1) << d.name;
    }
};

TEST_F(Translations, ListsAndTitlesInEachLanguage) {
    for (const Language* lang : {&kGerman, &kFrench, &kEnglish}) {
        SCOPED_TRACE(lang->code);
        use_language(lang->code);
        use_host("xsane");
        EXPECT_EQ(entries(mode_list), (std::vector<std::string>{lang->color, lang->gray, lang->black_white}));
        EXPECT_EQ(entries(source_list), (std::vector<std::string>{lang->flatbed, lang->feeder}));
        EXPECT_EQ(entries(paperSize_list), lang->papers);

        TestHandle h;
        for (size_t i = 0; i < std::size(kTitledOptions); ++i) {
            EXPECT_STREQ(h->opt[kTitledOptions[i]].title, lang->titles[i].c_str());
        }
        // Titles outside the catalogue, option names and descriptions stay as
        // they are; only the page-size description is translated.
        EXPECT_STREQ(h->opt[OPT_RESOLUTION].title, "Scan resolution");
        EXPECT_STREQ(h->opt[OPT_PREVIEW].title, "Preview");
        EXPECT_STREQ(h->opt[OPT_MODE].name, "mode");
        EXPECT_STREQ(h->opt[OPT_PAPERSIZE].name, "Page Size");
        EXPECT_STREQ(h->opt[OPT_MODE].desc, "Selects the scan mode (e.g., lineart, monochrome, or color).");
        EXPECT_STREQ(h->opt[OPT_PAPERSIZE].desc, lang->titles[2].c_str());
        // Defaults are the translated first mode and A4.
        EXPECT_EQ(h.get_string(OPT_MODE), lang->color);
        EXPECT_EQ(h.get_string(OPT_SOURCE), lang->flatbed);
        EXPECT_EQ(h.get_string(OPT_PAPERSIZE), lang->papers[1]);
        for (int opt : {OPT_SOURCE, OPT_MODE, OPT_PAPERSIZE}) expect_size_fits(h->opt[opt]);
    }
}

// Within each list no entry is a prefix of another (ignoring case): the source
// and mode rules take a prefix of an entry, the paper rule takes the first
// entry that begins the value, so such a pair would select the wrong one.
TEST_F(Translations, NoEntryIsPrefixOfAnother) {
    for (const Language* lang : {&kGerman, &kFrench}) {
        SCOPED_TRACE(lang->code);
        const std::vector<std::vector<std::string>> lists = {
            {lang->color, lang->gray, lang->black_white, "Black & White", "Gray"},
            {lang->flatbed, lang->feeder, "Flatbed", "Automatic Document Feeder", "ADF"},
            lang->papers};
        for (const auto& list : lists) {
            for (size_t a = 0; a < list.size(); ++a) {
                for (size_t b = 0; b < list.size(); ++b) {
                    if (a == b || list[a] == list[b]) continue;
                    EXPECT_NE(strncasecmp(list[a].c_str(), list[b].c_str(), list[a].size()), 0)
                        << '"' << list[a] << "\" begins \"" << list[b] << '"';
                }
            }
        }
    }
}

TEST_F(Translations, TranslatedEntriesSelectTheirSettings) {
    for (const Language* lang : {&kGerman, &kFrench}) {
        SCOPED_TRACE(lang->code);
        use_language(lang->code);
        use_host("xsane");
        TestHandle h;

        // Modes, translated (read back whole) and English.
        const std::pair<std::string, int> modes[] = {{lang->gray, Gray}, {lang->black_white, BlackWhite},
                                                      {lang->color, TrueColor}};
        for (const auto& [text, color] : modes) {
            set_string(h, OPT_MODE, text);
            EXPECT_EQ(h->user_params.ScanColor, color) << text;
            EXPECT_EQ(h.get_string(OPT_MODE), text);
        }
        const std::pair<std::string, int> english[] = {{"Gray", Gray}, {"Black & White", BlackWhite},
                                                        {"Color", TrueColor}, {"gr", Gray}};
        for (const auto& [text, color] : english) {
            set_string(h, OPT_MODE, text);
            EXPECT_EQ(h->user_params.ScanColor, color) << text;
        }

        // The translated feeder entry re-shapes the lists for the feeder.
        set_string(h, OPT_SOURCE, lang->feeder);
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, adf_resbit_list);
        EXPECT_EQ(h->opt[OPT_PREVIEW].cap, SANE_CAP_INACTIVE);
        std::vector<std::string> feeder_papers = lang->papers;
        feeder_papers.erase(feeder_papers.begin() + 5);  // no 4x6 in the feeder
        EXPECT_EQ(entries(paperSize_list), feeder_papers);
        expect_size_fits(h->opt[OPT_PAPERSIZE]);

        // Each translated paper entry selects its size (the feeder list first,
        // then the flatbed list with the 4x6 entry).
        for (size_t i = 0; i < feeder_papers.size(); ++i) {
            set_string(h, OPT_PAPERSIZE, feeder_papers[i]);
            EXPECT_EQ(h->pageSize, kPaperSizes[i < 5 ? i : 6]) << feeder_papers[i];
        }
        set_string(h, OPT_PAPERSIZE, lang->papers[3]);  // A5, centred on the feeder path
        EXPECT_EQ(h->val[OPT_TL_X].w, 0x6BF333 - 0x940000 / 2);

        set_string(h, OPT_SOURCE, lang->flatbed);
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_Flatbed);
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list);
        EXPECT_EQ(entries(paperSize_list), lang->papers);
        for (size_t i = 0; i < lang->papers.size(); ++i) {
            set_string(h, OPT_PAPERSIZE, lang->papers[i]);
            EXPECT_EQ(h->pageSize, kPaperSizes[i]) << lang->papers[i];
        }
        set_string(h, OPT_PAPERSIZE, lang->papers[5]);  // 4x6
        EXPECT_EQ(h->val[OPT_BR_X].w, 0x659999);
        EXPECT_EQ(h->val[OPT_BR_Y].w, 0x986666);

        // A moved corner turns the page size into the translated "Custom".
        SANE_Word br = 0x800000;
        ASSERT_EQ(sane_orvela_control_option(h.get(), OPT_BR_X, SANE_ACTION_SET_VALUE, &br, nullptr),
                  SANE_STATUS_GOOD);
        EXPECT_EQ(h.get_string(OPT_PAPERSIZE), lang->papers[6]);
        EXPECT_EQ(h->pageSize, ScanSize_Custom);

        // English source names keep working under a translated interface; the
        // translated 4x6 page is no entry of the feeder list and becomes the
        // translated A4, a translated "Custom" stays.
        set_string(h, OPT_SOURCE, "Automatic Document Feeder");
        EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
        EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, adf_resbit_list);
        EXPECT_EQ(h.get_string(OPT_PAPERSIZE), lang->papers[6]);
        set_string(h, OPT_SOURCE, "Flatbed");
        set_string(h, OPT_PAPERSIZE, lang->papers[5]);
        set_string(h, OPT_SOURCE, "Automatic Document Feeder");
        EXPECT_EQ(h.get_string(OPT_PAPERSIZE), lang->papers[1]);
        EXPECT_EQ(h->pageSize, ScanSize_A4);
    }
}

TEST_F(Translations, HostsThatStayEnglish) {
    use_language("de");
    // Office programs and the "EFileApp" host get no translation at all.
    for (const char* host : {"EFileApp", "soffice.bin", "libreoffice", "wpsoffice"}) {
        SCOPED_TRACE(host);
        use_host(host, strncmp(host, "wps", 3) == 0);
        EXPECT_EQ(entries(mode_list), (std::vector<std::string>{"Color", "Gray", "Black & White"}));
        EXPECT_EQ(entries(paperSize_list), kEnglish.papers);
        EXPECT_EQ(source_list[0], std::string("Flatbed"));
        EXPECT_EQ(source_list[1], std::string(strcmp(host, "EFileApp") == 0 ? "ADF" : "Automatic Document Feeder"));
        TestHandle h;
        EXPECT_STREQ(h->opt[OPT_SOURCE].title, "Scan source");
        EXPECT_STREQ(h->opt[OPT_BR_Y].title, "Bottom-right y");
    }

    // A simple-scan style host keeps the English source and mode names (it
    // matches them itself) and gets everything else translated; both feeder
    // names still re-shape the lists, and both mode names still select.
    use_host("simple-scan", true);
    EXPECT_EQ(entries(source_list), (std::vector<std::string>{"Flatbed", "Automatic Document Feeder"}));
    EXPECT_EQ(entries(mode_list), (std::vector<std::string>{"Color", "Gray", "Black & White"}));
    EXPECT_EQ(entries(paperSize_list), kGerman.papers);
    TestHandle h;
    EXPECT_STREQ(h->opt[OPT_SOURCE].title, "Scan-Quelle");
    EXPECT_EQ(h.get_string(OPT_SOURCE), "Flatbed");
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list_simple_scan);
    // The feeder offers simple-scan's own values up to its 600 dpi, so that
    // a "Text" scan gets the 150 dpi it asks for, not the nearest 100.
    set_string(h, OPT_SOURCE, "Automatic Document Feeder");
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    const SANE_Word* feeder = h->opt[OPT_RESOLUTION].constraint.word_list;
    EXPECT_EQ(std::vector<SANE_Word>(feeder, feeder + feeder[0] + 1), (std::vector<SANE_Word>{4, 75, 150, 300, 600}));
    set_string(h, OPT_SOURCE, "Flatbed");
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, resbit_list_simple_scan);
    set_string(h, OPT_SOURCE, kGerman.feeder);
    EXPECT_EQ(h->user_params.ScanSource, ScanSource_ADF);
    EXPECT_EQ(h->opt[OPT_RESOLUTION].constraint.word_list, feeder);
    EXPECT_EQ(h.get_string(OPT_MODE), "Color");
    for (const auto& [text, color] : {std::pair<std::string, int>{"Gray", Gray}, {kGerman.black_white, BlackWhite},
                                      {"Black & White", BlackWhite}, {kGerman.gray, Gray}}) {
        set_string(h, OPT_MODE, text);
        EXPECT_EQ(h->user_params.ScanColor, color) << text;
    }
}

// The shared library, loaded by a host program that binds the domain to the
// build's catalogues (which hosts stay English: test_sane_entry).
HostFacts probe_as(const TempDir& dir, const char* language) {
    return probe_host(dir, "xsane", message_locale_env(language), kLocaleDir);
}

TEST(TranslationsInLibrary, HostProgramsSeeTheCatalogues) {
    TempDir dir;
    for (const Language* lang : {&kGerman, &kFrench}) {
        SCOPED_TRACE(lang->code);
        HostFacts f = probe_as(dir, lang->code);
        EXPECT_EQ(f["init"], "0");
        EXPECT_EQ(f["TL(Color)"], lang->color);
        EXPECT_EQ(f["mode[1]"], lang->gray);
        EXPECT_EQ(f["mode[2]"], lang->black_white);
        EXPECT_EQ(f["source[0]"], lang->flatbed);
        EXPECT_EQ(f["source[1]"], lang->feeder);
        for (size_t i = 0; i < lang->papers.size(); ++i) {
            EXPECT_EQ(f["paper[" + std::to_string(i) + "]"], lang->papers[i]);
        }
    }
    // No language asked for: English.
    HostFacts plain = probe_as(dir, "");
    EXPECT_EQ(plain["mode[0]"], "Color");
    EXPECT_EQ(plain["paper[0]"], "Full Size");
}

}  // namespace
