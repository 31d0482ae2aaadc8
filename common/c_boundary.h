// The C boundary: what an exported function does with a C++ exception from
// the code below it (std::bad_alloc from a string or a vector, say). The
// caller is a C program or C frames of a frontend; an exception reaching them
// would end the host process. So an exported function runs its body through
// c_boundary::call (or c_boundary::run when it returns nothing) and answers
// with its own failure value instead, after one line in the log.
//
//   bool USB_Open(ORVELA_Scanner scanner) {
//       return c_boundary::call("USB_Open", false, [&] { return usb_open(scanner); });
//   }
//
// A thread that the host cancels unwinds with a special exception; that one
// goes on, as it must.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "common/debugtool.h"

namespace c_boundary {

// Returns body(); when an exception escapes it: `on_no_memory` for
// std::bad_alloc, `on_error` for any other. The result type is the body's.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result call(const char* entry, std::type_identity_t<Result> on_error, std::type_identity_t<Result> on_no_memory,
            Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        DBG_INFO("%s: out of memory, stopped at the C boundary\n", entry);
        return on_no_memory;
    } catch (const std::exception& e) {
        DBG_INFO("%s: exception stopped at the C boundary: %s\n", entry, e.what());
        return on_error;
    } catch (...) {
        DBG_INFO("%s: exception stopped at the C boundary\n", entry);
        return on_error;
    }
}

// The same with one failure value for every exception.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result call(const char* entry, std::type_identity_t<Result> on_error, Body&& body) {
    return call(entry, on_error, on_error, body);
}

// For a function without a result: an escaping exception is only logged.
template <class Body>
void run(const char* entry, Body&& body) {
    (void)call(entry, false, [&] {
        body();
        return true;
    });
}

}  // namespace c_boundary
