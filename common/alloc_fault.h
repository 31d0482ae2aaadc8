// A test seam: allocations of a page that fail on purpose, as if the system
// had run out of memory there, so that tests reach what a scan does then.
// Nothing fails unless a test sets the sites; the cost is one relaxed load.
#pragma once

#include <atomic>

namespace alloc_fault {

enum Site : unsigned {
    Decoder = 1u << 0,     // the JPEG decompressor of the row pipeline
    Rescaler = 1u << 1,    // the rescaler's rows and weights
    Packing = 1u << 2,     // the black-and-white packing row
    PageBuffer = 1u << 3,  // the whole page's buffer
    DrainBand = 1u << 4,   // the band buffer of the pull to the page's end
};

inline std::atomic<unsigned> g_sites{0};

inline bool fails(Site site) { return (g_sites.load(std::memory_order_relaxed) & site) != 0; }

}  // namespace alloc_fault
