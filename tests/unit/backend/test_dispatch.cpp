// The transport dispatch: which transport each call reaches for each record
// type, what it does before any open and after a failed one, and the network
// control channel on port 9100 (checked in a private network namespace).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "backend/device.h"
#include "backend/net_transport.h"
#include "backend/usb_transport.h"
#include "tests/support/device_record.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/namespaces.h"

namespace {

}  // namespace

// Runs first: the current device is still the zero record of load time.
TEST(Dispatch, BeforeAnyOpenNothingIsForwarded) {
    EXPECT_EQ(CurrentDeviceType(), 0);
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Device_Read(buf, 8, 1), 0u);
    EXPECT_EQ(Device_Write(buf, 8, 1), 0u);
    EXPECT_EQ(Device_ControlRead(buf, 8, 1), 0u);
    EXPECT_EQ(Device_ControlWrite(buf, 8, 1), 0u);
    Device_Close();
    Device_ControlClose();
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(orvela_net::mSocket, -1);  // no transport was reached
    EXPECT_EQ(dev_handle, nullptr);
    EXPECT_EQ(devHandle, nullptr);
}

TEST(Dispatch, OpenOfAnUnknownTypeFailsButBecomesCurrent) {
    ORVELA_Device d = net_record(1);
    d.type_io = static_cast<IOTYPE>(3);
    EXPECT_FALSE(Device_Open(d));
    EXPECT_EQ(CurrentDeviceType(), 3);
    EXPECT_EQ(orvela_net::mSocket, -1);  // no connection attempted
    d.type_io = static_cast<IOTYPE>(0);
    EXPECT_FALSE(Device_ControlOpen(d));
    EXPECT_EQ(CurrentDeviceType(), 0);
    EXPECT_EQ(dev_handle, nullptr);
    EXPECT_EQ(devHandle, nullptr);
}

TEST(Dispatch, NetworkDataChannelConnectsToTheRecordsAddressAndPort) {
    std::vector<uint8_t> seen;
    LoopbackPeer scanner([&](int& fd, int) {
        seen = peer::read_bytes(fd, 8);
        peer::write_all(fd, peer::reply(0x73, 0, 1, 0));
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(Device_Open(net_record(scanner.port())));
    EXPECT_EQ(CurrentDeviceType(), IOTYPE_NET);
    const uint8_t lock[8] = {0x53, 0x6C, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Device_Write(lock, 8, 6), 8u);
    uint8_t reply[8] = {};
    EXPECT_EQ(Device_Read(reply, 8, 6), 8u);
    EXPECT_EQ(reply[0], 0x73);
    EXPECT_EQ(reply[2], 1);
    Device_Close();
    EXPECT_EQ(orvela_net::mSocket, -1);
    scanner.wait_idle();
    EXPECT_EQ(hex(seen), "53 6C 00 00 00 00 00 00");

    // After a failed open the failed record stays current: reads and writes go
    // to the network transport, which has no connection.
    EXPECT_FALSE(Device_Open(net_record(0)));  // port 0 as given, no default
    EXPECT_EQ(CurrentDeviceType(), IOTYPE_NET);
    EXPECT_EQ(Device_Read(reply, 8, 1), 0u);
    EXPECT_EQ(Device_Write(lock, 8, 1), 0u);
}

TEST(Dispatch, UsbRecordsGoToTheUsbTransport) {
    ORVELA_Device d{};
    d.type_io = IOTYPE_USB;
    d.vendor_id = 0x5E5A;
    d.product_id = 0x7FFE;  // no such device attached
    snprintf(d.serial, sizeof d.serial, "NO-SUCH-SERIAL");
    EXPECT_FALSE(Device_Open(d));
    EXPECT_EQ(CurrentDeviceType(), IOTYPE_USB);
    uint8_t buf[8] = {};
    EXPECT_EQ(Device_Read(buf, 8, 1), 0u);   // the USB data channel is not open
    EXPECT_EQ(Device_Write(buf, 8, 1), 0u);
    Device_Close();
    EXPECT_EQ(Device_ControlRead(buf, 8, 1), 0u);  // nor is the control channel
    EXPECT_EQ(Device_ControlWrite(buf, 8, 1), 0u);
    Device_ControlClose();
    EXPECT_EQ(orvela_net::mSocket, -1);  // the network transport was never touched
}

namespace {

// In a fresh network namespace (only its own loopback), a listener on
// 127.0.0.1:9100 must receive the control connection of a network device
// whatever port its record holds, and the data connection must use the
// record's port. Returns a distinct code for the first check that fails.
int control_channel_in_namespace() {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(9100);
    if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, 4) != 0) return 103;

    if (!Device_ControlOpen(net_record(53010))) return 1;
    int conn = accept(lfd, nullptr, nullptr);
    if (conn < 0) return 2;
    const char hello[] = "@PJL INFO ID\r\n";
    if (Device_ControlWrite(hello, sizeof hello - 1, 6) != sizeof hello - 1) return 3;
    char got[32] = {};
    if (!peer::read_exact(conn, got, sizeof hello - 1, 2000) || strcmp(got, hello) != 0) return 4;
    peer::write_all(conn, "OK", 2);
    char back[2] = {};
    if (Device_ControlRead(back, 2, 6) != 2 || back[0] != 'O' || back[1] != 'K') return 5;
    // A data open while the control connection is up reuses its socket.
    if (!Device_Open(net_record(53010))) return 6;
    Device_ControlClose();
    if (orvela_net::mSocket != -1) return 7;
    close(conn);
    // With nothing on 53010 the data channel cannot connect although 9100 listens.
    if (Device_Open(net_record(53010))) return 8;
    return 0;
}

}  // namespace

TEST(Dispatch, NetworkControlChannelUsesPort9100) { expect_in_private_network(control_channel_in_namespace); }
