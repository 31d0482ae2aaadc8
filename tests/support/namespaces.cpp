#include "tests/support/namespaces.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kNoNamespace = 200;

bool loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && ((ifr.ifr_flags |= IFF_UP), ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    close(fd);
    return ok;
}

bool private_tmp() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/tmp", "tmpfs", 0, "size=4m") == 0;
}

void expect_in_child(const std::function<bool()>& enter, const std::function<int()>& body, const char* what) {
    const pid_t pid = fork();
    if (pid == 0) _exit(enter() ? body() : kNoNamespace);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "needs a private " << what << " (root)";
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended with status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the code of the check that failed";
}

}  // namespace

void expect_in_private_network(const std::function<int()>& body) {
    expect_in_child([] { return unshare(CLONE_NEWNET) == 0 && loopback_up(); }, body, "network namespace");
}

void expect_in_private_tmp(const std::function<int()>& body) {
    expect_in_child(private_tmp, body, "mount namespace");
}
