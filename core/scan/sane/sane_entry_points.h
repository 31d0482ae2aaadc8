// The backend's SANE entry points, sane_orvela_*, declared with the very
// prototypes of <sane/sane.h>: each has the type of its unprefixed namesake
// there. The files that define them include this header, so a definition
// whose signature departs from the standard does not compile; callers in
// the tree (the tests) include it instead of declaring the names themselves.
#pragma once

#include <sane/sane.h>

#define ORVELA_SANE_ENTRY_POINT(name) extern "C" decltype(::sane_##name) sane_orvela_##name
ORVELA_SANE_ENTRY_POINT(init);
ORVELA_SANE_ENTRY_POINT(exit);
ORVELA_SANE_ENTRY_POINT(get_devices);
ORVELA_SANE_ENTRY_POINT(open);
ORVELA_SANE_ENTRY_POINT(close);
ORVELA_SANE_ENTRY_POINT(get_option_descriptor);
ORVELA_SANE_ENTRY_POINT(control_option);
ORVELA_SANE_ENTRY_POINT(get_parameters);
ORVELA_SANE_ENTRY_POINT(start);
ORVELA_SANE_ENTRY_POINT(read);
ORVELA_SANE_ENTRY_POINT(cancel);
ORVELA_SANE_ENTRY_POINT(set_io_mode);
ORVELA_SANE_ENTRY_POINT(get_select_fd);
#undef ORVELA_SANE_ENTRY_POINT
