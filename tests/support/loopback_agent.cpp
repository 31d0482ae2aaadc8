#include "tests/support/loopback_agent.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

bool loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && ((ifr.ifr_flags |= IFF_UP), ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    close(fd);
    return ok;
}

int bound_socket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int in_private_network(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0 || !loopback_up()) _exit(200);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 200) return -1;
    return WEXITSTATUS(status);
}

LoopbackAgent::LoopbackAgent(std::vector<Bytes> replies, std::vector<Bytes> stray)
    : replies_(std::move(replies)), stray_(std::move(stray)) {
    fd_ = bound_socket(161);
    stray_fd_ = bound_socket(0);
    timeval tv{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bound_ = fd_ >= 0 && stray_fd_ >= 0;
    thread_ = std::thread([this] { serve(); });
}

LoopbackAgent::~LoopbackAgent() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
    if (stray_fd_ >= 0) close(stray_fd_);
}

void LoopbackAgent::serve() {
    uint8_t buf[2048];
    while (!stop_ && fd_ >= 0) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0) continue;
        ++seen_;
        if (n <= 2) continue;
        const auto* to = reinterpret_cast<const sockaddr*>(&from);
        for (const Bytes& b : stray_) sendto(stray_fd_, b.data(), b.size(), 0, to, size);
        for (const Bytes& b : replies_) sendto(fd_, b.data(), b.size(), 0, to, size);
    }
}
