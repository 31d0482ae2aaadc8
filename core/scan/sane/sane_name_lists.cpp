#include "core/scan/sane/sane_name_lists.h"

#include <libintl.h>
#include <locale.h>
#include <sane/sane.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>

#include "core/scan/sane/paper_sizes.h"
#include "core/scan/sane/sane_host.h"

extern "C" {
SANE_String_Const mode_list[4];
SANE_String_Const source_list[3];
SANE_String_Const paperSize_list[8];
}

namespace {

static_assert(std::size(paperSize_list) == kPaperSizeCount + 1, "every paper size and the terminator");

// One exported list and the copies its entries point to. Entries before
// `first_copy` point at the texts they were given (TL's, which live as long as
// the process); the others at copies that this object owns.
template <size_t Slots>
class NameList {
public:
    constexpr NameList(SANE_String_Const (&entries)[Slots], size_t first_copy)
        : entries_(entries), first_copy_(first_copy) {}
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;
    // The exported entries must not outlive their copies.
    ~NameList() { clear(); }

    // Replaces the contents with `texts` (at most Slots - 1). The new copies
    // are made before the old ones go, so a text may be one of the list's own
    // entries; a copy that cannot be made ends the list early rather than
    // leaving a null in its middle.
    void assign(std::span<const char* const> texts) {
        std::array<std::unique_ptr<char[]>, Slots> copies;
        std::array<const char*, Slots> entries{};
        size_t n = 0;
        for (const char* text : texts) {
            if (n + 1 >= Slots) break;
            if (n >= first_copy_) {
                copies[n] = copy_of(text);
                if (copies[n] == nullptr) break;
                entries[n] = copies[n].get();
            } else {
                entries[n] = text;
            }
            ++n;
        }
        for (size_t i = 0; i < Slots; ++i) entries_[i] = entries[i];
        copies_.swap(copies);
    }
    void assign(std::initializer_list<const char*> texts) { assign(std::span(texts.begin(), texts.size())); }

    void clear() {
        for (SANE_String_Const& entry : entries_) entry = nullptr;
        for (auto& copy : copies_) copy.reset();
    }

    const char* first() const { return entries_[0]; }

private:
    static std::unique_ptr<char[]> copy_of(const char* text) {
        const size_t size = strlen(text) + 1;
        std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
        if (copy != nullptr) memcpy(copy.get(), text, size);
        return copy;
    }

    SANE_String_Const (&entries_)[Slots];
    size_t first_copy_;
    std::array<std::unique_ptr<char[]>, Slots> copies_;
};

// "Color" and "Gray" are TL's texts, "Black & White" is a copy; every entry
// of the other two lists is a copy.
constinit NameList g_modes(mode_list, 2);
constinit NameList g_sources(source_list, 0);
constinit NameList g_papers(paperSize_list, 0);

}  // namespace

void build_name_lists() {
    // Simple-scan style hosts pick the mode and the source by their English
    // names: for them both lists stay untranslated. The matching rules accept
    // the English and the translated names alike.
    const auto host_text = [](const char* text) { return gIsSimpleScanApp ? text : TL(text); };
    g_modes.assign({host_text(N_("Color")), host_text(N_("Gray")), host_text(N_("Black & White"))});

    const char* feeder = host_is_efile_app() ? TL("ADF") : host_text(N_("Automatic Document Feeder"));
    g_sources.assign({host_text(N_("Flatbed")), feeder});

    build_paper_list(false);
}

void release_name_lists() {
    g_modes.clear();
    g_sources.clear();
    g_papers.clear();
}

void keep_flatbed_source_only() {
    if (g_sources.first() != nullptr) g_sources.assign({g_sources.first()});
}

void build_paper_list(bool feeder) {
    const char* names[kPaperSizeCount];
    size_t n = 0;
    for (const PaperSize& paper : kPaperSizes)
        if (!feeder || paper.on_feeder_list) names[n++] = TL(paper.name);
    g_papers.assign(std::span(names, n));
}

extern "C" const char* TL(const char* text) {
    if (host_keeps_english_texts()) return text;
    if (text == nullptr) return "";
    return dcgettext("sane_orvela_drv", text, LC_MESSAGES);
}
