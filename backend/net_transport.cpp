#include "backend/net_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "backend/io_clock.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"

namespace orvela_net {

Socket transport_socket;
const int& mSocket = transport_socket.view();
sockaddr_in revaddress{};
sockaddr_in bindaddress{};

}  // namespace orvela_net

using orvela_net::kPollSliceMs;
using orvela_net::mSocket;
using orvela_net::Socket;
using orvela_net::transport_socket;

namespace {

const char* error_text(int code, char (&buf)[128]) { return strerror_r(code, buf, sizeof buf); }

// Seconds to milliseconds for poll(), never negative, never overflowing.
int seconds_to_ms(int seconds) {
    if (seconds <= 0) return 0;
    if (seconds > INT_MAX / 1000) return INT_MAX;
    return seconds * 1000;
}

bool is_retry_error(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINTR || code == ENOBUFS; }

// Waits until the socket is ready for `events` or the slice ends; at most
// kPollSliceMs, never past the time still left.
void wait_ready(short events, int64_t left_ms) {
    pollfd p{mSocket, events, 0};
    poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left_ms, 0, kPollSliceMs)));
}

// The transport's socket, made as `type` when there is none; an open one is
// reused as it is. False when the system refuses a socket.
bool ensure_socket(int type, int protocol) {
    if (!transport_socket.is_open()) transport_socket = Socket::open_ipv4(type, protocol);
    return transport_socket.is_open();
}

// Waits up to timeoutSeconds for the connect in progress on `fd`. True when
// the socket came up readable or writable with no pending error; otherwise
// errno says why not (ETIMEDOUT when the time ran out).
bool wait_connected(int fd, int timeoutSeconds) {
    const int64_t deadline = orvela_io::now_ms() + seconds_to_ms(timeoutSeconds);
    pollfd p{fd, POLLIN | POLLOUT | POLLPRI, 0};
    int ready = -1;
    for (;;) {
        const int64_t left = std::max<int64_t>(0, deadline - orvela_io::now_ms());
        ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR && left > 0) continue;
        break;
    }
    if (ready == 0) errno = ETIMEDOUT;
    if (ready <= 0) return false;
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return false;
    if (so_error != 0) {
        errno = so_error;  // the reason the connection failed
        return false;
    }
    return (p.revents &
            (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR | POLLOUT | POLLWRNORM | POLLWRBAND)) != 0;
}

}  // namespace

namespace orvela_net {

ReadEnd read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel, size_t* received_out) {
    *received_out = 0;
    if (size == 0) return ReadEnd::Complete;
    if (buffer == nullptr || mSocket == -1) return ReadEnd::Closed;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const int64_t start = orvela_io::now_ms();
    size_t received = 0;
    char text[128];
    for (;;) {
        const ssize_t n = recv(mSocket, bytes + received, size - received, MSG_DONTWAIT);
        const int code = errno;
        if (n > 0) received += static_cast<size_t>(n);
        *received_out = received;
        if (received >= size) return ReadEnd::Complete;  // whatever the clock says
        if (n == 0) {
            // The peer closed the connection: nothing more will come.
            DBG_INFO("TCPRead: get size=0, and error:(%d)%s\n", code, error_text(code, text));
            return ReadEnd::Closed;
        }
        if (n < 0 && !is_retry_error(code)) {
            // Reset or otherwise broken: as final as a close.
            DBG_INFO("TCPRead: receive error:(%d)%s\n", code, error_text(code, text));
            return ReadEnd::Closed;
        }
        const int64_t elapsed = orvela_io::now_ms() - start;
        if (elapsed >= limit_ms) {
            DBG_INFO("TCPRead: timeout! error:(%d)%s\n", code, error_text(code, text));
            return ReadEnd::TimedOut;
        }
        if (cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_ACQUIRE)) return ReadEnd::Cancelled;
        if (n < 0) wait_ready(POLLIN, limit_ms - elapsed);
    }
}

}  // namespace orvela_net

namespace {

bool tcp_connect(const char* address, int port, int timeoutSeconds) {
    if (address == nullptr) address = "";
    DBG_INFO("TCP connect addrss=%s, port=%d\n", address, port);
    if (!ensure_socket(SOCK_STREAM, IPPROTO_TCP)) return false;
    const int fd = transport_socket.get();

    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(port));
    dest.sin_addr.s_addr = inet_addr(address);  // text that does not parse gives the all-ones address

    int rcvbuf = orvela_net::kReceiveBufferSize;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) return false;

    // The socket stays non-blocking for its whole life (a reused one too);
    // reads and writes pass the don't-wait flag in any case.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);

    if (connect(fd, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) == 0) return true;

    // A connection in progress, or one that is already established on a reused
    // socket, is waited for. An error that connect reports at once (no route,
    // an immediate refusal) is final: its pending error has been consumed, so
    // the dead socket would look ready with no error to a wait.
    const int connect_error = errno;
    if (connect_error == EINPROGRESS || connect_error == EALREADY || connect_error == EISCONN ||
        connect_error == EINTR) {
        if (wait_connected(fd, timeoutSeconds)) return true;
    } else {
        errno = connect_error;
    }

    const int failure = errno;
    char text[128];
    DBG_INFO("Connect failed!: %s\n", error_text(failure, text));
    if (failure == EAGAIN) return true;  // the local stack ran out of resources; left to the next write to fail
    transport_socket.reset();
    return false;
}

size_t tcp_read(void* buffer, size_t size, int timeoutSeconds) {
    if (buffer == nullptr || mSocket == -1) return 0;
    if (size == 0) return 0;
    size_t received = 0;
    const int64_t limit = static_cast<int64_t>(std::max(timeoutSeconds, 0)) * 1000;
    const orvela_net::ReadEnd end = orvela_net::read_until(buffer, size, limit, nullptr, &received);
    return end == orvela_net::ReadEnd::TimedOut ? 0 : received;
}

size_t tcp_write(const void* data, size_t size, int timeoutSeconds) {
    if (data == nullptr || mSocket == -1) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const int64_t start = orvela_io::now_ms();
    const int64_t limit = static_cast<int64_t>(std::max(timeoutSeconds, 0)) * 1000;
    size_t sent = 0;
    char text[128];
    while (sent < size) {
        const ssize_t n = send(mSocket, bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        const int code = errno;
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            DBG_INFO("TCPWrite: send %ld byte a time\n", static_cast<long>(n));
        } else if (!is_retry_error(code)) {
            DBG_INFO("TCPWrite: send error:(%d)%s\n", code, error_text(code, text));
            break;
        }
        const int64_t elapsed = orvela_io::now_ms() - start;
        if (sent >= size || elapsed >= limit) break;
        if (n < 0) wait_ready(POLLOUT, limit - elapsed);
    }
    if (orvela_io::now_ms() - start >= limit) DBG_INFO("TCPWrite: timeout!\n");
    return sent;
}

bool udp_setup(const char* address, int port) {
    using orvela_net::bindaddress;
    using orvela_net::revaddress;
    if (address == nullptr) address = "";
    revaddress = sockaddr_in{};
    revaddress.sin_family = AF_INET;
    revaddress.sin_port = htons(static_cast<uint16_t>(port));
    revaddress.sin_addr.s_addr = inet_addr(address);

    if (!ensure_socket(SOCK_DGRAM, IPPROTO_UDP)) return false;
    if (revaddress.sin_addr.s_addr != INADDR_NONE) return true;  // unicast: neither bound nor broadcast

    bindaddress = sockaddr_in{};
    bindaddress.sin_family = AF_INET;
    const int on = 1;
    if (setsockopt(mSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        char text[128];
        DBG_INFO("setsockopt: %s\n", error_text(errno, text));
        return false;
    }
    return bind(mSocket, reinterpret_cast<const sockaddr*>(&bindaddress), sizeof bindaddress) == 0;
}

size_t udp_read(void* buffer, size_t size, int timeoutSeconds) {
    if (buffer == nullptr || mSocket == -1) return 0;
    const timeval tv{std::max(timeoutSeconds, 0), 0};
    if (setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return 0;
    // A receive time-out of 0 would wait without limit: then only take what is
    // already there.
    const int flags = timeoutSeconds > 0 ? 0 : MSG_DONTWAIT;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n;
    do {
        n = recvfrom(mSocket, buffer, size, flags, reinterpret_cast<sockaddr*>(&from), &from_len);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t udp_write(const void* data, size_t size, int timeoutSeconds) {
    if (data == nullptr || mSocket == -1) return 0;
    const timeval tv{std::max(timeoutSeconds, 0), 0};
    if (setsockopt(mSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return 0;
    const ssize_t n = sendto(mSocket, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&orvela_net::revaddress),
                             sizeof orvela_net::revaddress);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace

extern "C" {

bool TCP_Connect(const char* address, int port, int timeoutSeconds) {
    return c_boundary::call("TCP_Connect", false, [&] { return tcp_connect(address, port, timeoutSeconds); });
}

size_t TCP_Read(void* buffer, size_t size, int timeoutSeconds) {
    return c_boundary::call("TCP_Read", size_t{0}, [&] { return tcp_read(buffer, size, timeoutSeconds); });
}

size_t TCP_Write(const void* data, size_t size, int timeoutSeconds) {
    return c_boundary::call("TCP_Write", size_t{0}, [&] { return tcp_write(data, size, timeoutSeconds); });
}

void TCP_Close(void) {
    c_boundary::run("TCP_Close", [] { transport_socket.reset(); });
}

bool UDP_Setup(const char* address, int port) {
    return c_boundary::call("UDP_Setup", false, [&] { return udp_setup(address, port); });
}

size_t UDP_Read(void* buffer, size_t size, int timeoutSeconds) {
    return c_boundary::call("UDP_Read", size_t{0}, [&] { return udp_read(buffer, size, timeoutSeconds); });
}

size_t UDP_Write(const void* data, size_t size, int timeoutSeconds) {
    return c_boundary::call("UDP_Write", size_t{0}, [&] { return udp_write(data, size, timeoutSeconds); });
}

void UDP_Close(void) {
    c_boundary::run("UDP_Close", [] { transport_socket.reset(); });
}

}  // extern "C"
