#include "backend/held_calls.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "backend/trace_session.h"

namespace wire_trace {
namespace {

// Blocks are this large unless one call needs more: a page's bands fill a
// few of them, and a block is one allocation.
constexpr size_t kBlockSize = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

// Fresh memory costs a fault per 4 KiB page as the bands are copied in,
// together more than the copying; where the system offers huge pages on
// request, a block takes them (a fault per 2 MiB).
void* new_block(size_t size) {
    void* block = nullptr;
    if (posix_memalign(&block, kHugePage, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    (void)madvise(block, size, MADV_HUGEPAGE);
#endif
    return block;
}

struct CallHeader {
    int64_t time_ms;
    size_t size;
    size_t result;
    size_t kept;  // bytes that follow
    HeldCalls::Kind kind;
};

constexpr size_t align(size_t n) { return (n + alignof(CallHeader) - 1) / alignof(CallHeader) * alignof(CallHeader); }

// The bytes of a call worth keeping: what a read brought, what a whole write
// gave (a write that failed is named by its size alone).
size_t bytes_kept(HeldCalls::Kind kind, size_t size, size_t result) {
    const bool is_read = kind == HeldCalls::Kind::Read || kind == HeldCalls::Kind::ControlRead;
    if (is_read) return result <= size ? result : 0;
    return result == size ? size : 0;
}

}  // namespace

struct HeldCalls::Block {
    Block* next;
    size_t used;
    size_t capacity;
    alignas(CallHeader) unsigned char data[1];
};

void name_call(TraceSession& session, HeldCalls::Kind kind, const void* data, size_t size, size_t result) {
    switch (kind) {
    case HeldCalls::Kind::Write: session.wrote(data, size, result); break;
    case HeldCalls::Kind::Read: session.read(data, size, result); break;
    case HeldCalls::Kind::ControlWrite: session.control_wrote(data, size, result); break;
    case HeldCalls::Kind::ControlRead: session.control_read(data, size, result); break;
    case HeldCalls::Kind::Close: session.closed(); break;
    }
}

bool HeldCalls::add(Kind kind, int64_t time_ms, const void* data, size_t size, size_t result) {
    const size_t kept = data == nullptr ? 0 : bytes_kept(kind, size, result);
    const size_t need = align(sizeof(CallHeader) + kept);
    if (held_ + need > kMostHeld) return false;
    if (last_ == nullptr || last_->capacity - last_->used < need) {
        const size_t room = kBlockSize - offsetof(Block, data);
        const size_t capacity = need > room ? need : room;
        auto* block = static_cast<Block*>(new_block(offsetof(Block, data) + capacity));
        if (block == nullptr) return false;
        block->next = nullptr;
        block->used = 0;
        block->capacity = capacity;
        (last_ != nullptr ? last_->next : first_) = block;
        last_ = block;
    }
    unsigned char* at = last_->data + last_->used;
    const CallHeader header{time_ms, size, result, kept, kind};
    memcpy(at, &header, sizeof header);
    if (kept > 0) memcpy(at + sizeof header, data, kept);
    last_->used += need;
    held_ += need;
    return true;
}

void HeldCalls::replay(TraceSession& session) {
    for (Block* block = first_; block != nullptr; block = block->next) {
        for (size_t at = 0; at < block->used;) {
            CallHeader header;
            memcpy(&header, block->data + at, sizeof header);
            session.set_time(header.time_ms);
            name_call(session, header.kind, header.kept > 0 ? block->data + at + sizeof header : nullptr, header.size,
                      header.result);
            at += align(sizeof header + header.kept);
        }
    }
    session.use_clock();
    clear();
}

void HeldCalls::clear() {
    while (first_ != nullptr) {
        Block* next = first_->next;
        free(first_);
        first_ = next;
    }
    last_ = nullptr;
    held_ = 0;
}

}  // namespace wire_trace
