// The C boundary of the SANE entry points (see common/c_boundary.h): an
// exception from below answers SANE_STATUS_NO_MEM when memory ran out and
// SANE_STATUS_IO_ERROR otherwise.
#pragma once

#include <sane/sane.h>

#include "common/c_boundary.h"

template <class Body>
SANE_Status sane_call(const char* entry, Body&& body) {
    return c_boundary::call(entry, SANE_STATUS_IO_ERROR, SANE_STATUS_NO_MEM, body);
}
