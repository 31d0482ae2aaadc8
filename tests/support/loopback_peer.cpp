#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

LoopbackPeer::LoopbackPeer(Script script, int backlog) : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket");
    const int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
    if (listen(listen_fd_, backlog) != 0) throw std::runtime_error("listen");
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

LoopbackPeer::~LoopbackPeer() { stop_listening(); }

void LoopbackPeer::stop_listening() {
    stop_ = true;
    const int current = current_fd_.load();
    if (current >= 0) shutdown(current, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
}

void LoopbackPeer::wait_idle() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (busy_ && std::chrono::steady_clock::now() < until) usleep(1000);
}

void LoopbackPeer::run() {
    int index = 0;
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        busy_ = true;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            busy_ = false;
            continue;
        }
        ++accepted_;
        current_fd_ = fd;
        script_(fd, index++);
        current_fd_ = -1;
        if (fd >= 0) close(fd);
        busy_ = false;
    }
}

namespace peer {

bool read_exact(int fd, void* buffer, size_t size, int timeout_ms) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = recv(fd, p + got, size - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> read_bytes(int fd, size_t size, int timeout_ms) {
    std::vector<uint8_t> out(size);
    if (!read_exact(fd, out.data(), size, timeout_ms)) out.clear();
    return out;
}

bool write_all(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const std::vector<uint8_t>& data) { return write_all(fd, data.data(), data.size()); }

void reset(int& fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
    fd = -1;
}

bool wait_closed(int fd, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n <= 0) return true;
    }
}

std::vector<uint8_t> reply(uint8_t id, uint8_t b1, uint8_t b2, uint8_t b3, uint32_t size) {
    return {id, b1, b2, b3, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
            static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

}  // namespace peer

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}
