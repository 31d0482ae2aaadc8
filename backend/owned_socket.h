// An owning socket descriptor: closed when it goes or is reset, -1 while
// empty. Sockets are made close-on-exec, so that a frontend's child process
// never inherits a connection to a scanner.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace orvela_net {

class Socket {
public:
    constexpr Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A new IPv4 socket of `type` (SOCK_STREAM, SOCK_DGRAM); empty when the
    // system refuses one.
    static Socket open_ipv4(int type, int protocol) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
        return Socket(fd >= 0 ? fd : -1);
    }

    int get() const { return fd_; }
    // The descriptor as a lasting read-only view: it follows resets.
    constexpr const int& view() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // Closes the socket held, if any, and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace orvela_net
