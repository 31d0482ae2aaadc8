// The transport calls of an open device, held raw in memory until the device
// closes: naming them and writing their hex while the page arrives would
// delay the page's end by several per cent on a fast link, while copying
// the bytes costs a fraction of that. The trace gets them, with the times at
// which they were made, when the device closes, or once kMostHeld bytes have
// gathered (a long feeder job), or when no memory is left for more.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire_trace {

class TraceSession;

class HeldCalls {
public:
    enum class Kind : uint8_t { Write, Read, ControlWrite, ControlRead, Close };
    static constexpr size_t kMostHeld = size_t{64} << 20;

    HeldCalls() = default;
    HeldCalls(const HeldCalls&) = delete;
    HeldCalls& operator=(const HeldCalls&) = delete;
    ~HeldCalls() { clear(); }

    // Keeps one call: `size` bytes asked or given, `result` what the
    // transport returned. False when it could not be kept (no memory, or
    // the limit reached): the caller hands the held calls and this one over.
    bool add(Kind kind, int64_t time_ms, const void* data, size_t size, size_t result);
    // Names every held call through `session`, in order, and forgets them.
    void replay(TraceSession& session);
    void clear();
    bool empty() const { return first_ == nullptr; }

private:
    struct Block;
    Block* first_ = nullptr;
    Block* last_ = nullptr;
    size_t held_ = 0;
};

// Names one call through `session` as it comes (what replay does for each).
void name_call(TraceSession& session, HeldCalls::Kind kind, const void* data, size_t size, size_t result);

}  // namespace wire_trace
