// Discovery exchanges over real sockets without a real network: a child
// process in a private network namespace with only loopback, and an SNMP
// agent on 127.0.0.1:161 inside it.
#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/snmp_answer.h"

// Runs `body` in a child in a new network namespace with loopback up; its
// exit code, or -1 when no namespace can be made (not root).
int in_private_network(const std::function<int()>& body);

// Answers every request (anything longer than the 2-byte priming datagram)
// with `replies` in order from port 161, and with `stray` from another port.
class LoopbackAgent {
public:
    explicit LoopbackAgent(std::vector<Bytes> replies, std::vector<Bytes> stray = {});
    ~LoopbackAgent();
    LoopbackAgent(const LoopbackAgent&) = delete;
    LoopbackAgent& operator=(const LoopbackAgent&) = delete;
    bool bound() const { return bound_; }
    int seen() const { return seen_; }

private:
    void serve();
    std::vector<Bytes> replies_;
    std::vector<Bytes> stray_;
    int fd_ = -1;
    int stray_fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> seen_{0};
    std::thread thread_;
};
