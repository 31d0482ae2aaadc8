// The frame that sane_orvela_get_parameters announces and reads serve.
#pragma once

#include "core/scan/sane/sane_handle.h"

// Fills s->sane_params from the options.
void compute_frame_parameters(orvela_scanner_t* s);
