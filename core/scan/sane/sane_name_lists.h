// The process-wide name lists that the string options point to: mode_list,
// source_list and paperSize_list (exported, null-terminated). The heap copies
// behind their entries are owned here: each list replaces its copies only
// after the new ones exist, and frees them when it is rebuilt, released or
// unloaded.
#pragma once

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
