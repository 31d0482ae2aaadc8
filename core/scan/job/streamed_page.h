// The streamed page: pulled and decoded while reads ask for its rows.
#pragma once

#include <memory>

#include "core/scan/job/job_page.h"

std::unique_ptr<JobPage> make_streamed_page();
