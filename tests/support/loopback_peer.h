// A scripted TCP peer on 127.0.0.1 for transport and protocol tests: it
// listens on an ephemeral port and runs a script on each accepted connection,
// one after the other, on a thread of its own. Exact bytes, stalls, resets and
// garbage are whatever the script does.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class LoopbackPeer {
public:
    // `script(fd, index)` serves connection number `index` (0, 1, ...); the
    // connection is closed when it returns (unless the script closed it and set
    // fd to -1). `backlog` is passed to listen().
    using Script = std::function<void(int& fd, int index)>;
    explicit LoopbackPeer(Script script, int backlog = 8);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int port() const { return port_; }
    int connections() const { return accepted_.load(); }
    // Stops accepting and closes the listening socket (later connects are
    // refused); a connection being served is shut down so its script ends.
    void stop_listening();
    // Waits until the scripts have finished (or ~10 s passed).
    void wait_idle();

private:
    void run();
    Script script_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<bool> busy_{false};
    std::atomic<int> current_fd_{-1};
    std::thread thread_;
};

namespace peer {

// Reads exactly `size` bytes (false on close, error or after timeout_ms).
bool read_exact(int fd, void* buffer, size_t size, int timeout_ms = 10000);
std::vector<uint8_t> read_bytes(int fd, size_t size, int timeout_ms = 10000);
bool write_all(int fd, const void* data, size_t size);
bool write_all(int fd, const std::vector<uint8_t>& data);
// Closes with a reset (RST) instead of an orderly shutdown.
void reset(int& fd);
// Waits until the other side closed (recv returns 0) or timeout_ms passed.
bool wait_closed(int fd, int timeout_ms = 10000);

// An 8-byte reply or header.
std::vector<uint8_t> reply(uint8_t id, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0, uint32_t size = 0);
// Deterministic test bytes.
std::vector<uint8_t> pattern(size_t size, uint32_t seed);

}  // namespace peer

// "53 6C 00 ..." for messages.
std::string hex(const std::vector<uint8_t>& bytes);
