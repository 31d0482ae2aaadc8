// Helpers shared by the USB emulation tests: the support library's log
// capture, device records and process facts.
#pragma once

#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/process.h"
