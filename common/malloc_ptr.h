// Ownership of memory that C code hands over to be released with free():
// the arrays of the discovery functions, say, whose callers free them.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDelete {
    void operator()(void* p) const noexcept { free(p); }
};

// MallocPtr<T[]> for an array.
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDelete>;
