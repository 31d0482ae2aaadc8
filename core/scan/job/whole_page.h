// The whole page: pulled into the page file, decoded, rescaled and packed
// while start runs; reads serve it from memory.
#pragma once

#include <memory>

#include "common/orvela_types.h"
#include "core/scan/job/job_page.h"
#include "core/scan/sane/sane_handle.h"

std::unique_ptr<JobPage> make_whole_page();
// A whole page already decoded into `served` (the handle's dst_img).
std::unique_ptr<JobPage> make_decoded_page(const ORVELA_IMAGE_RAW* served);

// Decodes the JPEG page file into s->src_img (the page images there were are
// freed); its frame is bounded by the device tier of s->dev_params.
extern "C" SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename);
