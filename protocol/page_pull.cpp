#include "protocol/page_pull.h"

#include <climits>

#include "backend/device.h"
#include "backend/io_clock.h"
#include "common/debugtool.h"
#include "protocol/wire_format.h"

namespace orvela_protocol {

PagePull::PagePull(const bool* cancel, int timeout_second) : cancel_(cancel), timeout_second_(timeout_second) {}

bool PagePull::cancelled() const { return cancel_ != nullptr && __atomic_load_n(cancel_, __ATOMIC_ACQUIRE); }

size_t PagePull::read(void* buffer, size_t size, int64_t limit_ms, const bool* cancel) {
    if (cancel_ == nullptr) {
        // Whole records, with the protocol's time-outs in whole seconds.
        const int64_t seconds = (limit_ms + 999) / 1000;
        return Device_Read(buffer, size, static_cast<unsigned>(seconds > INT_MAX ? INT_MAX : seconds));
    }
    return orvela_dispatch::read_until(buffer, size, limit_ms, cancel);
}

PagePull::Result PagePull::take_header() {
    const ScanDataRsp header = orvela_wire::decode_page_header(header_);
    switch (apply_page_header(header, status_)) {
    case PageHeader::End:
        ended_ = true;
        waiting_for_header_ = false;
        return Result::End;
    case PageHeader::Data:
        if (status_.data_size <= 0) {
            DBG_INFO("Page stream: data header of %d bytes, polling again\n", status_.data_size);
            return Result::Idle;
        }
        if (static_cast<uint32_t>(status_.data_size) > kMaxBandSize) {
            DBG_INFO("Page stream: band of %d bytes refused\n", status_.data_size);
            return Result::Failed;
        }
        band_left_ = static_cast<uint32_t>(status_.data_size);
        waiting_for_header_ = false;
        return Result::Data;
    default:
        DBG_INFO("Page stream: header 0x%02X carries nothing, polling again\n", header.cmdID);
        return Result::Idle;
    }
}

PagePull::Result PagePull::pull(unsigned char* buffer, size_t capacity, size_t* got) {
    *got = 0;
    if (ended_) return Result::End;
    if (cancelled()) return Result::Cancelled;
    if (band_left_ == 0) {
        // The time-out runs from the last usable header: polls that carry
        // nothing do not extend it.
        const int64_t now = orvela_io::now_ms();
        if (!waiting_for_header_) {
            header_deadline_ = now + static_cast<int64_t>(timeout_second_) * 1000;
            waiting_for_header_ = true;
        }
        const int64_t left = header_deadline_ - now;
        if (left <= 0) return Result::Failed;
        const size_t n = read(header_ + header_have_, sizeof header_ - header_have_, left, cancel_);
        header_have_ += n < sizeof header_ - header_have_ ? n : sizeof header_ - header_have_;
        if (header_have_ < sizeof header_) {
            if (cancel_ == nullptr) header_have_ = 0;  // a whole-record read keeps nothing
            return cancelled() ? Result::Cancelled : Result::Failed;
        }
        header_have_ = 0;
        const Result kind = take_header();
        if (kind != Result::Data) return kind;
    }
    if (buffer == nullptr || capacity == 0) return Result::Failed;
    const size_t piece = band_left_ < capacity ? static_cast<size_t>(band_left_) : capacity;
    const size_t n = read(buffer, piece, static_cast<int64_t>(timeout_second_) * 1000, cancel_);
    if (n == piece) {
        band_left_ -= piece;
        data_arrived_ = true;
        *got = piece;
        return Result::Data;
    }
    // What arrived of the piece is consumed: the stream stays in step for a drain.
    band_left_ -= n < band_left_ ? n : band_left_;
    return cancelled() ? Result::Cancelled : Result::Failed;
}

bool PagePull::finish_record(unsigned char* scratch, size_t capacity, int timeout_second) {
    const int64_t limit = static_cast<int64_t>(timeout_second) * 1000;
    if (ended_) return true;  // between pages: the device answers the abort itself
    if (header_have_ > 0) {
        const size_t want = sizeof header_ - header_have_;
        if (read(header_ + header_have_, want, limit, nullptr) != want) return false;
        header_have_ = 0;
        const Result kind = take_header();
        if (kind == Result::End || kind == Result::Failed) return false;
    }
    while (band_left_ > 0) {
        if (scratch == nullptr || capacity == 0) return false;
        const size_t piece = band_left_ < capacity ? static_cast<size_t>(band_left_) : capacity;
        if (read(scratch, piece, limit, nullptr) != piece) return false;
        band_left_ -= piece;
    }
    return true;
}

}  // namespace orvela_protocol
