// Building and releasing the shared name lists. Each list owns the heap copies
// it holds from `first_owned` on; the entries before that point at texts that
// TL returns and are never freed.
#pragma once

#include <sane/sane.h>

#include <initializer_list>

// Frees the owned copies of `list` and leaves it empty (first entry null).
void name_list_clear(SANE_String_Const* list, int first_owned);
// Replaces the contents of `list` (capacity `slots`, terminator included) with
// `texts`, copying from index `first_owned` on; the rest become null.
void name_list_assign(SANE_String_Const* list, int slots, int first_owned,
                      std::initializer_list<const char*> texts);

constexpr int kModeListOwnedFrom = 2;   // "Black & White" is a copy
constexpr int kSourceListOwnedFrom = 0;
constexpr int kPaperListOwnedFrom = 0;

// Builds the three lists as initialisation does, for the host detected.
void build_name_lists();
// Releases every owned copy (at exit).
void release_name_lists();
