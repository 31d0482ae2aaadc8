// The process-wide name lists that the string options point to: mode_list,
// source_list and paperSize_list (exported, null-terminated). The heap copies
// behind their entries are owned here: each list replaces its copies only
// after the new ones exist, and frees them when it is rebuilt, released or
// unloaded.
#pragma once

#include <sane/sane.h>

extern "C" {

// Null-terminated name lists that the string options point to.
extern SANE_String_Const mode_list[4];
extern SANE_String_Const source_list[3];
extern SANE_String_Const paperSize_list[8];

// Translates a text of the option lists and titles in the domain
// "sane_orvela_drv"; hosts that must stay English get it unchanged.
const char* TL(const char* text);

}  // extern "C"

// Marks a text for the translation catalogue where it is written down, away
// from the TL call that translates it when it is shown.
#define N_(text) text

// Builds the three lists as initialisation does, for the host detected.
void build_name_lists();
// Releases every copy and leaves the lists empty (at exit).
void release_name_lists();

// The source list ends after its flatbed entry (a device without a feeder),
// until the next initialisation rebuilds it.
void keep_flatbed_source_only();
// Rebuilds the paper list for a source: every paper size for the flatbed,
// the feeder's sizes for the feeder.
void build_paper_list(bool feeder);
