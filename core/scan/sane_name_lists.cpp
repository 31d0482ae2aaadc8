#include "core/scan/sane_name_lists.h"

#include <cstdlib>
#include <cstring>

#include "core/scan/sane_globals.h"

extern "C" {
SANE_String_Const mode_list[4];
SANE_String_Const source_list[3];
SANE_String_Const paperSize_list[8];
}

void name_list_clear(SANE_String_Const* list, int first_owned) {
    for (int i = 0; list[i] != nullptr; ++i) {
        if (i >= first_owned) free(const_cast<char*>(list[i]));
        list[i] = nullptr;
    }
}

void name_list_assign(SANE_String_Const* list, int slots, int first_owned,
                      std::initializer_list<const char*> texts) {
    name_list_clear(list, first_owned);
    int i = 0;
    for (const char* text : texts) {
        if (i >= slots - 1) break;
        // A copy that cannot be made ends the list early rather than leaving
        // a null in its middle.
        const char* entry = i >= first_owned ? strdup(text) : text;
        if (entry == nullptr) break;
        list[i++] = entry;
    }
    for (; i < slots; ++i) list[i] = nullptr;
}

void build_name_lists() {
    // Simple-scan style hosts pick the mode and the source by their English
    // names: for them both lists stay untranslated. The matching rules accept
    // the English and the translated names alike.
    const auto host_text = [](const char* text) { return gIsSimpleScanApp ? text : TL(text); };
    name_list_assign(mode_list, 4, kModeListOwnedFrom,
                     {host_text("Color"), host_text("Gray"), host_text("Black & White")});

    const bool efile = strcmp(gApplicationName, "EFileApp") == 0;
    const char* flatbed = host_text("Flatbed");
    const char* feeder = host_text("Automatic Document Feeder");
    if (efile) feeder = TL("ADF");
    name_list_assign(source_list, 3, kSourceListOwnedFrom, {flatbed, feeder});

    name_list_assign(paperSize_list, 8, kPaperListOwnedFrom,
                     {TL("Full Size"), TL("A4 (210 x 297 mm)"), TL("Letter (8.5 x 11 in)"), TL("A5 (148 x 210 mm)"),
                      TL("B5 (182 x 257 mm)"), TL("4x6 in"), TL("Custom")});
}

void release_name_lists() {
    name_list_clear(mode_list, kModeListOwnedFrom);
    name_list_clear(source_list, kSourceListOwnedFrom);
    name_list_clear(paperSize_list, kPaperListOwnedFrom);
}
