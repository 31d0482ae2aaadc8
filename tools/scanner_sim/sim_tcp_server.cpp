// TCP transport of the simulated scanner.
#include "tools/scanner_sim/sim_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace orvela_sim {
namespace {

constexpr size_t kChunk = 64 * 1024;

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

TcpScannerServer::TcpScannerServer(std::shared_ptr<ScannerModel> model, ServerOptions options)
    : model_(model ? std::move(model) : std::make_shared<ScannerModel>()), device_(model_), options_(std::move(options)) {}

TcpScannerServer::TcpScannerServer(ServerOptions options)
    : TcpScannerServer(std::shared_ptr<ScannerModel>(), std::move(options)) {}

TcpScannerServer::TcpScannerServer(std::shared_ptr<WireDevice> device, ServerOptions options)
    : device_(std::move(device)), options_(std::move(options)) {}

TcpScannerServer::~TcpScannerServer() {
    stop();
}

bool TcpScannerServer::start(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        close_fd(listen_fd_);
        close_fd(wake_fd_);
        return false;
    };
    if (running_.load()) {
        if (error) *error = "already running";
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + options_.address;
        return false;
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return fail("socket");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
    if (::listen(listen_fd_, 8) != 0) return fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fail("getsockname");
    port_ = ntohs(addr.sin_port);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return fail("eventfd");
    stopping_ = false;
    running_ = true;
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
        running_ = false;
        return fail("thread");
    }
    return true;
}

void TcpScannerServer::stop() {
    if (!thread_.joinable()) {
        close_fd(listen_fd_);
        close_fd(wake_fd_);
        return;
    }
    stopping_ = true;
    uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The eventfd cannot overflow here; the thread also checks stopping_.
    }
    thread_.join();
    close_fd(listen_fd_);
    close_fd(wake_fd_);
    running_ = false;
}

void TcpScannerServer::serve() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++connections_;
        open_ = 1;
        bool go_on = true;
        try {
            go_on = serve_connection(fd);
        } catch (const std::exception&) {
            // Out of memory inside the model: give up this connection only.
            device_->connection_closed();
            ::close(fd);
        }
        open_ = 0;
        if (!go_on) break;
    }
}

// Serves one connection until the host closes it, the script drops it or the
// server stops. Returns false when the server is stopping.
bool TcpScannerServer::serve_connection(int fd) {
    device_->connection_opened();
    std::vector<uint8_t> out(kChunk);
    size_t out_pos = 0, out_len = 0;  // bytes taken from the model, not yet sent
    std::vector<uint8_t> in(kChunk);
    bool drop_after_flush = false;
    bool stopping = false;

    for (;;) {
        int timeout = -1;
        if (out_pos == out_len && !drop_after_flush) {
            NextAction a = device_->next_action();
            switch (a.kind) {
            case NextAction::Send:
                out_len = device_->device_take(std::span<uint8_t>(out.data(), out.size()));
                out_pos = 0;
                if (out_len == 0) timeout = 1;
                break;
            case NextAction::Wait:
                timeout = static_cast<int>(std::max<long long>(1, a.wait.count()));
                break;
            case NextAction::Stall:
                timeout = a.wait.count() > 0 ? static_cast<int>(a.wait.count()) : -1;
                break;
            case NextAction::Drop:
                drop_after_flush = true;
                break;
            case NextAction::Idle:
                break;
            }
        }
        if (drop_after_flush && out_pos == out_len) {
            if (options_.reset_on_drop) {
                linger lg{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
            break;
        }
        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (out_pos < out_len ? POLLOUT : 0)), 0}, {wake_fd_, POLLIN, 0}};
        int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents || stopping_.load()) {
            stopping = true;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = ::recv(fd, in.data(), in.size(), 0);
            if (got > 0) {
                device_->host_sent(std::span<const uint8_t>(in.data(), static_cast<size_t>(got)));
            } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                break;  // the host closed the connection or it failed
            }
        }
        if ((fds[0].revents & POLLOUT) && out_pos < out_len) {
            ssize_t sent = ::send(fd, out.data() + out_pos, out_len - out_pos, MSG_NOSIGNAL);
            if (sent > 0) {
                out_pos += static_cast<size_t>(sent);
            } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                break;
            }
        }
        if (out_pos == out_len) out_pos = out_len = 0;
    }
    // The model forgets the connection before the host can see it closed, so
    // what a test observes after the close is already settled (lock released).
    device_->connection_closed();
    ::close(fd);
    return !stopping;
}

}  // namespace orvela_sim
