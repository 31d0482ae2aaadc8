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
#include "common/debugtool.h"

namespace orvela_net {

int mSocket = -1;
sockaddr_in revaddress{};
sockaddr_in bindaddress{};

}  // namespace orvela_net

using orvela_net::kPollSliceMs;
using orvela_net::mSocket;

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

void close_socket() {
    if (mSocket != -1) close(mSocket);
    mSocket = -1;
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

extern "C" {

bool TCP_Connect(const char* address, int port, int timeoutSeconds) {
    if (address == nullptr) address = "";
    DBG_INFO("TCP connect addrss=%s, port=%d\n", address, port);

    if (mSocket == -1) {
        mSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (mSocket < 0) {
            mSocket = -1;
            return false;
        }
    }

    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(port));
    dest.sin_addr.s_addr = inet_addr(address);  // text that does not parse gives the all-ones address

    int rcvbuf = orvela_net::kReceiveBufferSize;
    if (setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) return false;

    // The socket stays non-blocking for its whole life; reads and writes pass
    // the don't-wait flag in any case.
    const int flags = fcntl(mSocket, F_GETFL) | O_NONBLOCK;
    fcntl(mSocket, F_SETFL, flags);

    if (connect(mSocket, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) == 0) {
        fcntl(mSocket, F_SETFL, flags);
        return true;
    }

    // A connection in progress, or one that is already established on a reused
    // socket, is waited for. An error that connect reports at once (no route,
    // an immediate refusal) is final: its pending error has been consumed, so
    // the dead socket would look ready with no error to a wait.
    const int connect_error = errno;
    bool connected = false;
    if (connect_error == EINPROGRESS || connect_error == EALREADY || connect_error == EISCONN ||
        connect_error == EINTR) {
        const int64_t deadline = orvela_io::now_ms() + seconds_to_ms(timeoutSeconds);
        pollfd p{mSocket, POLLIN | POLLOUT | POLLPRI, 0};
        int ready = -1;
        for (;;) {
            const int64_t left = std::max<int64_t>(0, deadline - orvela_io::now_ms());
            ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
            if (ready < 0 && errno == EINTR && left > 0) continue;
            break;
        }
        if (ready > 0) {
            const bool readable_or_writable =
                (p.revents & (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR | POLLOUT | POLLWRNORM |
                              POLLWRBAND)) != 0;
            int so_error = 0;
            socklen_t len = sizeof so_error;
            if (getsockopt(mSocket, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
                fcntl(mSocket, F_SETFL, flags);
            } else if (so_error != 0) {
                fcntl(mSocket, F_SETFL, flags);
                errno = so_error;  // the reason the connection failed, for the report below
            } else {
                fcntl(mSocket, F_SETFL, flags);
                connected = readable_or_writable;
            }
        } else {
            fcntl(mSocket, F_SETFL, flags);
            if (ready == 0) errno = ETIMEDOUT;
        }
    } else {
        errno = connect_error;
    }
    if (connected) return true;

    const int failure = errno;
    perror("Connect failed!");
    if (failure == EAGAIN) return true;  // the local stack ran out of resources; left to the next write to fail
    close_socket();
    return false;
}

size_t TCP_Read(void* buffer, size_t size, int timeoutSeconds) {
    if (buffer == nullptr || mSocket == -1) return 0;
    if (size == 0) return 0;
    size_t received = 0;
    const int64_t limit = static_cast<int64_t>(std::max(timeoutSeconds, 0)) * 1000;
    const orvela_net::ReadEnd end = orvela_net::read_until(buffer, size, limit, nullptr, &received);
    return end == orvela_net::ReadEnd::TimedOut ? 0 : received;
}

size_t TCP_Write(const void* data, size_t size, int timeoutSeconds) {
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

void TCP_Close(void) { close_socket(); }

bool UDP_Setup(const char* address, int port) {
    using orvela_net::bindaddress;
    using orvela_net::revaddress;
    if (address == nullptr) address = "";
    revaddress = sockaddr_in{};
    revaddress.sin_family = AF_INET;
    revaddress.sin_port = htons(static_cast<uint16_t>(port));
    revaddress.sin_addr.s_addr = inet_addr(address);

    if (mSocket == -1) {
        mSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (mSocket < 0) {
            mSocket = -1;
            return false;
        }
    }
    if (revaddress.sin_addr.s_addr != INADDR_NONE) return true;  // unicast: neither bound nor broadcast

    bindaddress = sockaddr_in{};
    bindaddress.sin_family = AF_INET;
    const int on = 1;
    if (setsockopt(mSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        perror("setsockopt");
        return false;
    }
    return bind(mSocket, reinterpret_cast<const sockaddr*>(&bindaddress), sizeof bindaddress) == 0;
}

size_t UDP_Read(void* buffer, size_t size, int timeoutSeconds) {
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

size_t UDP_Write(const void* data, size_t size, int timeoutSeconds) {
    if (data == nullptr || mSocket == -1) return 0;
    const timeval tv{std::max(timeoutSeconds, 0), 0};
    if (setsockopt(mSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return 0;
    const ssize_t n = sendto(mSocket, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&orvela_net::revaddress),
                             sizeof orvela_net::revaddress);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

void UDP_Close(void) { TCP_Close(); }

}  // extern "C"
