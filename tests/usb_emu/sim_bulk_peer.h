// Puts the scanner simulator's device (its scripted ScannerModel, or the
// ReplayModel of a trace) behind the emulated device's bulk endpoints: what the
// host writes goes to host_sent, and a bulk IN transfer takes at most its
// length of what the device has ready (nothing ready: the device NAKs and the
// transfer waits). A device that drops the connection stalls both endpoints
// from then on (a replay's difference). Every IN transfer is kept, so tests can compare what the host
// stored with what the device sent.
#pragma once

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/usb_emu/usb_device_model.h"
#include "tools/scanner_sim/sim_device.h"

namespace usb_emu {

class SimBulkPeer : public BulkPeer {
public:
    explicit SimBulkPeer(std::shared_ptr<orvela_sim::ScannerModel> model) : SimBulkPeer(model, model) {}
    explicit SimBulkPeer(std::shared_ptr<orvela_sim::WireDevice> device) : SimBulkPeer(nullptr, std::move(device)) {}

    int host_sent(uint8_t, std::span<const uint8_t> bytes) override {
        // Let the model retire output that was sent completely (the TCP
        // server does the same by asking for the next action after a send):
        // a finished page must not count as in progress for the next command.
        (void)device_->pending();
        device_->host_sent(bytes);
        if (dropped()) return -EPIPE;
        return static_cast<int>(bytes.size());
    }

    int device_take(uint8_t, std::span<uint8_t> buffer) override {
        if (dropped()) return -EPIPE;
        const size_t n = device_->device_take(buffer);
        if (n == 0) return kNak;
        std::lock_guard<std::mutex> lock(mutex_);
        transfers_.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
    }

    // Every bulk IN transfer the device completed, in order.
    std::vector<std::vector<uint8_t>> transfers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return transfers_;
    }

    // The page data the device sent: the bodies announced by data headers
    // ('d', size in bytes 4..7, little-endian), concatenated.
    std::vector<uint8_t> page_data() const {
        const auto all = transfers();
        std::vector<uint8_t> data;
        for (size_t i = 0; i < all.size(); ++i) {
            const std::vector<uint8_t>& t = all[i];
            if (t.size() != 8 || t[0] != orvela_sim::kRspData) continue;
            const uint32_t size = t[4] | t[5] << 8 | t[6] << 16 | static_cast<uint32_t>(t[7]) << 24;
            size_t got = 0;
            while (got < size && i + 1 < all.size()) {
                const std::vector<uint8_t>& body = all[++i];
                data.insert(data.end(), body.begin(), body.end());
                got += body.size();
            }
        }
        return data;
    }

    // Only for a peer made with a ScannerModel.
    orvela_sim::ScannerModel& model() { return *model_; }

private:
    SimBulkPeer(std::shared_ptr<orvela_sim::ScannerModel> model, std::shared_ptr<orvela_sim::WireDevice> device)
        : model_(std::move(model)), device_(std::move(device)) {
        device_->connection_opened();
    }

    // The scripted model's drops stay as they always were over USB (the
    // device merely stops sending); a replay's drop is the end of the line.
    bool dropped() { return !model_ && device_->next_action().kind == orvela_sim::NextAction::Drop; }

    std::shared_ptr<orvela_sim::ScannerModel> model_;
    std::shared_ptr<orvela_sim::WireDevice> device_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> transfers_;
};

}  // namespace usb_emu
