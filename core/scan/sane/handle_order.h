// The page order of a handle: what its options, device and host ask of the
// scan job (job/page_order.h), and the frame that they announce.
#pragma once

#include "core/scan/job/page_order.h"
#include "core/scan/sane/sane_handle.h"

// Fills s->sane_params from the options (sane_orvela_get_parameters).
void compute_frame_parameters(orvela_scanner_t* s);

// The order of the handle's current options (the frame parameters worked
// out on the way); the delivery orvela.conf asks for.
PageOrder page_order(orvela_scanner_t* s);

// Points the job's view at the handle's described fields (at open).
void show_job_in_handle(orvela_scanner_t* s);
