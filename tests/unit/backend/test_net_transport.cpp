// The network transport against scripted peers on 127.0.0.1: exact bytes,
// time-outs, peers that close, reset or stall, the bounded connect, and the
// UDP pipe (loopback only; the broadcast set-up is checked without sending).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "backend/net_transport.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_peer.h"

using namespace std::chrono;
using orvela_net::mSocket;

namespace {

double seconds_since(steady_clock::time_point start) {
    return duration<double>(steady_clock::now() - start).count();
}

// A loopback port on which nothing listens.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

struct Transport : ::testing::Test {
    void SetUp() override { TCP_Close(); }
    void TearDown() override { TCP_Close(); }
};

}  // namespace

TEST_F(Transport, ConnectMovesExactBytesBothWaysOnACloseOnExecSocket) {
    std::vector<uint8_t> seen;
    const auto answer = peer::pattern(100000, 7);
    LoopbackPeer server([&](int& fd, int) {
        seen = peer::read_bytes(fd, 8);
        peer::write_all(fd, answer);
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    ASSERT_NE(mSocket, -1);
    EXPECT_NE(fcntl(mSocket, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(mSocket, F_GETFL) & O_NONBLOCK, 0);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    getsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
    EXPECT_GE(rcvbuf, orvela_net::kReceiveBufferSize);

    const uint8_t cmd[8] = {0x53, 0x6C, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(TCP_Write(cmd, sizeof cmd, 6), 8u);
    std::vector<uint8_t> got(answer.size());
    EXPECT_EQ(TCP_Read(got.data(), got.size(), 6), answer.size());
    EXPECT_EQ(got, answer);
    TCP_Close();
    EXPECT_EQ(mSocket, -1);
    server.wait_idle();
    EXPECT_EQ(hex(seen), "53 6C 00 00 00 00 00 00");
}

TEST_F(Transport, ReadReturnsCompleteDataEvenWhenTheTimeOutPassedInTheSamePass) {
    LoopbackPeer server([&](int& fd, int) {
        peer::write_all(fd, peer::pattern(64, 1));
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    std::this_thread::sleep_for(milliseconds(100));  // the bytes are waiting

    uint8_t buf[64];
    // A time-out of 0 still takes what is there.
    EXPECT_EQ(TCP_Read(buf, 32, 0), 32u);
    // A clock that jumps a whole minute per reading: the pass that completes
    // the data is also past the time-out, and the data still counts.
    {
        TestClock clock(60000);
        EXPECT_EQ(TCP_Read(buf + 32, 32, 1), 32u);
    }
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 64), peer::pattern(64, 1));
}

TEST_F(Transport, ReadTimesOutWithZeroWhenNotEverythingArrived) {
    LoopbackPeer server([&](int& fd, int) {
        peer::write_all(fd, peer::pattern(5, 2));  // 5 of the 8 bytes asked for
        peer::wait_closed(fd);
    });
    TestClock clock;
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    uint8_t buf[8];
    const int64_t took = TestClock::elapsed_ms([&] { EXPECT_EQ(TCP_Read(buf, 8, 1), 0u); });
    EXPECT_GE(took, 1000);
    EXPECT_LE(took, 1300);  // and the clock's readings around it, 100 ms each
    // Nothing at all with a time-out of 0: at once.
    EXPECT_LE(TestClock::elapsed_ms([&] { EXPECT_EQ(TCP_Read(buf, 8, 0), 0u); }), 200);
    // Null buffer and closed transport.
    EXPECT_EQ(TCP_Read(nullptr, 8, 1), 0u);
    TCP_Close();
    EXPECT_EQ(TCP_Read(buf, 8, 1), 0u);
    EXPECT_EQ(TCP_Write(buf, 8, 1), 0u);
}

TEST_F(Transport, ReadCollectsDataThatTricklesIn) {
    const auto data = peer::pattern(3000, 3);
    LoopbackPeer server([&](int& fd, int) {
        for (size_t i = 0; i < data.size(); i += 500) {
            peer::write_all(fd, data.data() + i, 500);
            std::this_thread::sleep_for(milliseconds(30));
        }
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    std::vector<uint8_t> got(data.size());
    EXPECT_EQ(TCP_Read(got.data(), got.size(), 5), data.size());
    EXPECT_EQ(got, data);
}

TEST_F(Transport, PeerThatClosesOrResetsEndsTheReadAtOnceWithWhatArrived) {
    LoopbackPeer server([&](int& fd, int index) {
        if (index == 0) {
            peer::write_all(fd, peer::pattern(3, 4));
            std::this_thread::sleep_for(milliseconds(50));
            shutdown(fd, SHUT_WR);  // orderly close after 3 bytes
            peer::wait_closed(fd);
        } else {
            std::this_thread::sleep_for(milliseconds(50));
            peer::reset(fd);
        }
    });
    // Each call ends at the close or reset, well before its 30-second time-out.
    TestClock clock;
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    uint8_t buf[8] = {};
    EXPECT_LT(TestClock::elapsed_ms([&] { EXPECT_EQ(TCP_Read(buf, 8, 30), 3u); }), 10000);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), peer::pattern(3, 4));
    // Again on the closed connection: nothing, at once.
    EXPECT_LT(TestClock::elapsed_ms([&] { EXPECT_EQ(TCP_Read(buf, 8, 30), 0u); }), 10000);
    TCP_Close();

    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    EXPECT_LT(TestClock::elapsed_ms([&] { EXPECT_EQ(TCP_Read(buf, 8, 30), 0u); }), 10000);
    // Writing into the reset connection neither raises SIGPIPE (the test
    // program would die) nor waits for the time-out.
    std::vector<uint8_t> big(1 << 20, 0x55);
    size_t sent = 0;
    EXPECT_LT(TestClock::elapsed_ms([&] {
                  for (int i = 0; i < 3; ++i) sent = TCP_Write(big.data(), big.size(), 30);
              }),
              10000);
    EXPECT_LT(sent, big.size());
}

TEST_F(Transport, WriteToAPeerThatStopsReadingReturnsThePartialCountAfterTheTimeOut) {
    LoopbackPeer server([&](int& fd, int) {
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        peer::wait_closed(fd, 5000);  // reads nothing until the transport closes
    });
    TestClock clock;
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    std::vector<uint8_t> big(64 << 20, 0xA5);
    size_t sent = 0;
    const int64_t took = TestClock::elapsed_ms([&] { sent = TCP_Write(big.data(), big.size(), 1); });
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, big.size());
    EXPECT_GE(took, 1000);
    EXPECT_LE(took, 1300);  // and the clock's readings around it, 100 ms each
}

TEST_F(Transport, ConnectFailuresCloseTheSocketAndTheNextConnectStartsAfresh) {
    // (The connect's wait is one poll for the time left, on the real clock.)
    LogCapture log;
    testing::internal::CaptureStderr();
    const auto start = steady_clock::now();
    EXPECT_FALSE(TCP_Connect("127.0.0.1", closed_port(), 8));
    EXPECT_LT(seconds_since(start), 4.0);  // refused: no wait for the 8-second time-out
    // Reported in the backend's log; the host's standard error stays untouched.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(log.contains("Connect failed!: Connection refused\n"));
    EXPECT_EQ(mSocket, -1);

    LoopbackPeer server([&](int& fd, int) {
        peer::write_all(fd, peer::reply(0x73));
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    uint8_t buf[8];
    EXPECT_EQ(TCP_Read(buf, 8, 5), 8u);
    EXPECT_EQ(buf[0], 0x73);

    // Closing twice is harmless.
    TCP_Close();
    TCP_Close();
    EXPECT_EQ(mSocket, -1);
}

TEST_F(Transport, ConnectWhileConnectedKeepsTheExistingConnectionWhateverTheAddress) {
    LoopbackPeer server([&](int& fd, int) {
        std::vector<uint8_t> cmd = peer::read_bytes(fd, 8);
        peer::write_all(fd, cmd);  // echo
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(TCP_Connect("127.0.0.1", server.port(), 8));
    const int first = mSocket;
    EXPECT_TRUE(TCP_Connect("127.0.0.1", closed_port(), 8));
    EXPECT_EQ(mSocket, first);
    const uint8_t cmd[8] = {0x53, 0x66, 0, 0, 0, 0, 0, 0};
    uint8_t back[8] = {};
    EXPECT_EQ(TCP_Write(cmd, 8, 6), 8u);
    EXPECT_EQ(TCP_Read(back, 8, 6), 8u);
    EXPECT_EQ(back[1], 0x66);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Transport, ConnectToAPeerThatNeverAcceptsGivesUpAfterTheTimeOut) {
    // A listener with a full accept queue drops further connection requests,
    // so the handshake never completes.
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    socklen_t len = sizeof addr;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(milliseconds(100));

    testing::internal::CaptureStderr();
    const auto start = steady_clock::now();
    const bool ok = TCP_Connect("127.0.0.1", ntohs(addr.sin_port), 1);
    const double took = seconds_since(start);
    testing::internal::GetCapturedStderr();
    for (int c : fillers) close(c);
    close(lfd);
    EXPECT_FALSE(ok);
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 10.0);  // (its one poll waits on the real clock)
    EXPECT_EQ(mSocket, -1);
}

TEST(Udp, UnicastPipeOnLoopbackSendsAndReceivesDatagrams) {
    TCP_Close();
    int peer_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(peer_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(peer_fd, reinterpret_cast<sockaddr*>(&addr), &len);

    ASSERT_TRUE(UDP_Setup("127.0.0.1", ntohs(addr.sin_port)));
    EXPECT_NE(fcntl(mSocket, F_GETFD) & FD_CLOEXEC, 0);
    int broadcast = -1;
    socklen_t blen = sizeof broadcast;
    getsockopt(mSocket, SOL_SOCKET, SO_BROADCAST, &broadcast, &blen);
    EXPECT_EQ(broadcast, 0);
    sockaddr_in local{};
    socklen_t llen = sizeof local;
    getsockname(mSocket, reinterpret_cast<sockaddr*>(&local), &llen);
    EXPECT_EQ(local.sin_port, 0);  // not bound before the first datagram
    EXPECT_EQ(orvela_net::revaddress.sin_port, addr.sin_port);
    EXPECT_EQ(orvela_net::revaddress.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    const auto out = peer::pattern(300, 9);
    EXPECT_EQ(UDP_Write(out.data(), out.size(), 1), out.size());
    uint8_t got[1000];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ASSERT_EQ(recvfrom(peer_fd, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &flen), 300);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 300), out);

    const auto back = peer::pattern(50, 10);
    sendto(peer_fd, back.data(), back.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
    uint8_t in[20];
    EXPECT_EQ(UDP_Read(in, sizeof in, 1), 20u);  // a datagram cut to the buffer
    EXPECT_EQ(std::vector<uint8_t>(in, in + 20), std::vector<uint8_t>(back.begin(), back.begin() + 20));

    // Nothing waiting: 0 after the time-out, or at once with a time-out of 0
    // (the socket's own receive time-out: the real clock).
    auto start = steady_clock::now();
    EXPECT_EQ(UDP_Read(in, sizeof in, 1), 0u);
    EXPECT_GE(seconds_since(start), 0.9);
    start = steady_clock::now();
    EXPECT_EQ(UDP_Read(in, sizeof in, 0), 0u);
    EXPECT_LT(seconds_since(start), 0.9);
    EXPECT_EQ(UDP_Read(nullptr, 10, 1), 0u);
    EXPECT_EQ(UDP_Write(nullptr, 10, 1), 0u);

    UDP_Close();
    EXPECT_EQ(mSocket, -1);
    EXPECT_EQ(UDP_Read(in, sizeof in, 1), 0u);
    EXPECT_EQ(UDP_Write(out.data(), out.size(), 1), 0u);
    close(peer_fd);
}

TEST(Udp, BroadcastSetUpBindsToAnyAddressAndEnablesBroadcastWithoutSending) {
    TCP_Close();
    ASSERT_TRUE(UDP_Setup("255.255.255.255", 161));
    int broadcast = 0;
    socklen_t blen = sizeof broadcast;
    getsockopt(mSocket, SOL_SOCKET, SO_BROADCAST, &broadcast, &blen);
    EXPECT_EQ(broadcast, 1);
    sockaddr_in local{};
    socklen_t llen = sizeof local;
    getsockname(mSocket, reinterpret_cast<sockaddr*>(&local), &llen);
    EXPECT_EQ(local.sin_family, AF_INET);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(local.sin_port, 0);  // bound to an ephemeral port
    EXPECT_EQ(orvela_net::revaddress.sin_addr.s_addr, INADDR_NONE);
    EXPECT_EQ(ntohs(orvela_net::revaddress.sin_port), 161);
    UDP_Close();

    // Text that does not parse is the all-ones address too.
    ASSERT_TRUE(UDP_Setup("not-an-address", 161));
    broadcast = 0;
    getsockopt(mSocket, SOL_SOCKET, SO_BROADCAST, &broadcast, &blen);
    EXPECT_EQ(broadcast, 1);
    EXPECT_EQ(orvela_net::revaddress.sin_addr.s_addr, INADDR_NONE);
    UDP_Close();
}
