// The USB transport on the real libusb against emulated devices: choosing the
// device, the claim, exact transfers, time-outs, the control channel, and
// that no libusb context or handle outlives a failed or finished open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "backend/usb_discovery.h"
#include "backend/usb_transport.h"
#include "tests/usb_emu/emu_test_util.h"
#include "tests/usb_emu/libusb_faults.h"
#include "tests/usb_emu/usbfs_emulation.h"

using namespace usb_emu;

namespace {

std::shared_ptr<ScriptedPeer> scripted(EmulatedDevice& d) {
    auto peer = std::make_shared<ScriptedPeer>();
    d.with_model([&](DeviceModel& m) { m.set_peer(peer); });
    return peer;
}

// Runs f on the model under the emulation's lock and returns its result.
template <class F>
auto locked(EmulatedDevice& d, F f) {
    return d.with_model(f);
}

class UsbTransport : public testing::Test {
protected:
    void TearDown() override {
        USB_Close();
        USB_DeviceClose();
        EXPECT_EQ(gContext, nullptr);
        EXPECT_EQ(gDeviceContext, nullptr);
    }
    Testbed bed;
};

TEST_F(UsbTransport, OpensTheDeviceWhoseSerialMatchesAmongTwoOfTheSameModel) {
    EmulatedDevice& a = bed.add(scanner_config(0x5E5A, 0x1001, u"SN-A"));
    EmulatedDevice& b = bed.add(scanner_config(0x5E5A, 0x1001, u"SN-B"));
    auto peer_a = scripted(a);
    auto peer_b = scripted(b);

    // Either order in the bus list: ask for each in turn.
    for (const char* serial : {"SN-B", "SN-A"}) {
        EmulatedDevice& wanted = serial[3] == 'A' ? a : b;
        EmulatedDevice& other = serial[3] == 'A' ? b : a;
        auto& wanted_peer = serial[3] == 'A' ? peer_a : peer_b;
        auto& other_peer = serial[3] == 'A' ? peer_b : peer_a;

        ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, serial))) << serial;
        EXPECT_STREQ(current_scanner.serial, serial);
        EXPECT_NE(dev_handle, nullptr);
        EXPECT_NE(locked(wanted, [](DeviceModel& m) { return m.claimed_by[0]; }), 0);
        EXPECT_EQ(locked(other, [](DeviceModel& m) { return m.claimed_by[0]; }), 0);

        unsigned char cmd[8] = {0x1B, 0xA8, 0, 0, 0, 0, 0, 0};
        cmd[7] = static_cast<unsigned char>(serial[3]);
        EXPECT_EQ(USB_Write(cmd, sizeof cmd, 2), 8u);
        EXPECT_EQ(locked(wanted, [&](DeviceModel&) { return wanted_peer->received.size(); }), 8u);
        EXPECT_EQ(locked(wanted, [&](DeviceModel&) { return wanted_peer->received.back(); }), serial[3]);
        EXPECT_TRUE(locked(other, [&](DeviceModel&) { return other_peer->received.empty(); }));

        USB_Close();
        EXPECT_EQ(dev_handle, nullptr);
        EXPECT_EQ(gContext, nullptr);
        // The claim went with the close.
        EXPECT_EQ(locked(wanted, [](DeviceModel& m) { return m.claimed_by[0]; }), 0);
        locked(wanted, [&](DeviceModel&) { wanted_peer->received.clear(); return 0; });
    }
    EXPECT_EQ(a.stats().implicit_claims + b.stats().implicit_claims, 0u);
    EXPECT_EQ(a.stats().unknown + b.stats().unknown, 0u);
}

TEST_F(UsbTransport, OpenRefusesWrongSerialMissingSerialBusyInterfaceAndOtherIds) {
    DeviceConfig no_serial = scanner_config(0x5E5A, 0x1002, u"");
    no_serial.serial.reset();
    EmulatedDevice* sn1 = &bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    bed.add(no_serial);

    // Another serial: false, and the record is still the current one.
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "SN2")));
    EXPECT_STREQ(current_scanner.serial, "SN2");
    EXPECT_EQ(dev_handle, nullptr);
    EXPECT_NE(gContext, nullptr);  // a failed open keeps its context until the close
    USB_Close();
    EXPECT_EQ(gContext, nullptr);

    // A device without a serial string is never opened, even by an empty serial.
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1002, "")));
    USB_Close();

    // Interface 1 is held by the kernel's printer driver: the claim fails.
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1", 1, 0x82, 0x02)));
    EXPECT_EQ(locked(*sn1, [](DeviceModel& m) { return m.claims; }), 0u);
    USB_Close();

    // Nothing with these IDs.
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1003, "SN1")));
    USB_Close();

    // Serials are compared over the whole field, not as a prefix.
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "SN")));
    USB_Close();
    EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "SN10")));
    USB_Close();
}

TEST_F(UsbTransport, NoDeviceListOrAnExceptionBelowLeavesNoContextAndFailsTheEntryPoint) {
    bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    ORVELA_Scanner texts = usb_record(0x5E5A, 0x1001, "SN1");
    snprintf(texts.brandName, sizeof texts.brandName, "Orvela");
    snprintf(texts.modelName, sizeof texts.modelName, "OR-M1020");
    for (const LibusbFaults& fault :
         {LibusbFaults{.device_list_fails = true}, LibusbFaults{.device_list_throws = true}}) {
        const ArmedLibusbFaults armed(fault);
        EXPECT_FALSE(USB_Open(texts));
        EXPECT_EQ(gContext, nullptr);
        EXPECT_FALSE(USB_DeviceOpen(texts));
        EXPECT_EQ(gDeviceContext, nullptr);
        ORVELA_Scanner* list = &texts;
        EXPECT_EQ(USB_FindScanner(&list), 0);
        EXPECT_EQ(list, nullptr);
    }
    // Nothing was left half open: the device opens as before.
    EXPECT_TRUE(USB_Open(texts));
}

TEST_F(UsbTransport, ReadsAndWritesSucceedOnlyWhenEveryByteMoves) {
    EmulatedDevice& d = bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    auto peer = scripted(d);

    // Before an open (and after a close) nothing is transferred.
    unsigned char buf[64] = {};
    EXPECT_EQ(USB_Read(buf, 8, 1), 0u);
    EXPECT_EQ(USB_Write(buf, 8, 1), 0u);
    EXPECT_EQ(d.stats().submits, 0u);

    // The endpoint fields are used through their low 8 bits.
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1", 0, 0x181, 0x301)));

    locked(d, [&](DeviceModel&) {
        peer->queue_in({1, 2, 3, 4, 5, 6, 7, 8});
        peer->queue_in({9, 9, 9, 9});
        return 0;
    });
    EXPECT_EQ(USB_Read(buf, 8, 2), 8u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[7], 8);
    // Four bytes arrive where eight were asked: a failure, bytes or not.
    EXPECT_EQ(USB_Read(buf, 8, 2), 0u);
    EXPECT_EQ(buf[0], 9);

    // A large band in one transfer.
    std::vector<uint8_t> band(1 << 20);
    for (size_t i = 0; i < band.size(); ++i) band[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    locked(d, [&](DeviceModel&) { peer->queue_in(band); return 0; });
    std::vector<uint8_t> got(band.size());
    EXPECT_EQ(USB_Read(got.data(), got.size(), 5), got.size());
    EXPECT_EQ(got, band);

    unsigned char cmd[8] = {0x1B, 0xA8, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(USB_Write(cmd, sizeof cmd, 2), 8u);
    EXPECT_EQ(locked(d, [&](DeviceModel&) { return peer->received; }), std::vector<uint8_t>(cmd, cmd + 8));
    EXPECT_EQ(locked(d, [&](DeviceModel&) { return peer->out_endpoints_used.back(); }), 0x01);

    // A stalled write fails.
    locked(d, [&](DeviceModel&) { peer->stall_out = true; return 0; });
    EXPECT_EQ(USB_Write(cmd, sizeof cmd, 2), 0u);

    USB_Close();
    EXPECT_EQ(USB_Read(buf, 8, 1), 0u);
    EXPECT_EQ(d.stats().implicit_claims, 0u);
}

TEST_F(UsbTransport, ReadsTimeOutAfterTheirSecondsAndZeroWaitsWithoutLimit) {
    EmulatedDevice& d = bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    auto peer = scripted(d);
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));

    // (One transfer with libusb's own time-out: real time.)
    unsigned char buf[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(USB_Read(buf, 8, 1), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    // The timed-out transfer is gone: the next reply reaches the next read.
    locked(d, [&](DeviceModel&) { peer->queue_in({7, 7, 7, 7, 7, 7, 7, 7}); return 0; });
    EXPECT_EQ(USB_Read(buf, 8, 2), 8u);

    // Time-out 0: the read waits for data that comes 1.5 s later, longer
    // than any default limit of a second.
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        locked(d, [&](DeviceModel&) { peer->queue_in({5, 5, 5, 5, 5, 5, 5, 5}); return 0; });
    });
    EXPECT_EQ(USB_Read(buf, 8, 0), 8u);
    EXPECT_EQ(buf[0], 5);
    feeder.join();

    // The streaming path's read waits in slices of its clock and ends soon
    // after a cancel; the next reply still reaches the next read.
    TestClock clock;
    bool cancel = false;
    std::atomic<int64_t> cancelled_at{0};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        cancelled_at = TestClock::now();
        __atomic_store_n(&cancel, true, __ATOMIC_RELEASE);
    });
    EXPECT_EQ(orvela_usb::read_until(buf, 8, 5000, &cancel), 0u);
    const int64_t returned = TestClock::now();
    canceller.join();
    EXPECT_LE(returned - cancelled_at, 300);  // the slice under way, and at most one more
    locked(d, [&](DeviceModel&) { peer->queue_in({6, 6, 6, 6, 6, 6, 6, 6}); return 0; });
    EXPECT_EQ(orvela_usb::read_until(buf, 8, 5000, &cancel), 8u);
    EXPECT_EQ(buf[7], 6);
}

TEST_F(UsbTransport, CloseWithoutDeviceAndReopenWithoutClose) {
    USB_Close();  // nothing to close: harmless (TearDown checks that nothing is left)

    // Opening again without a close gives up the first open's handle and
    // claim instead of leaking them.
    EmulatedDevice& d = bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));
    EXPECT_NE(locked(d, [](DeviceModel& m) { return m.claimed_by[0]; }), 0);
    EXPECT_EQ(locked(d, [](DeviceModel& m) { return m.claims; }), 2u);
    USB_Close();
}

TEST_F(UsbTransport, ControlChannelFindsByTextsAndAppliesTheStallRule) {
    DeviceConfig config = scanner_config(0x5E5A, 0x1001, u"SN1");
    config.manufacturer = u"Orvela";
    config.product = u"OR-M1020";
    config.vendor_read_reply = std::vector<uint8_t>{'S', 'T', 'A', 'T', 'E', 0};
    EmulatedDevice& d = bed.add(config);
    DeviceConfig foreign = config;  // same texts, IDs not in the model table
    foreign.vendor_id = 0x1234;
    bed.add(foreign);

    char buf[32] = "untouched";
    EXPECT_EQ(USB_ControlWrite(buf, 8, 1), 0);
    EXPECT_EQ(USB_ControlRead(buf, 8, 1), 0);
    EXPECT_STREQ(buf, "untouched");

    ORVELA_Scanner wrong{};
    snprintf(wrong.brandName, sizeof wrong.brandName, "Orvela");
    snprintf(wrong.modelName, sizeof wrong.modelName, "OR-M1020");
    snprintf(wrong.serial, sizeof wrong.serial, "SN2");
    EXPECT_FALSE(USB_DeviceOpen(wrong));
    EXPECT_EQ(devHandle, nullptr);
    USB_DeviceClose();

    ORVELA_Scanner right = wrong;
    snprintf(right.serial, sizeof right.serial, "SN1");
    ASSERT_TRUE(USB_DeviceOpen(right));
    EXPECT_NE(devHandle, nullptr);
    // The control channel claims nothing, so the data channel opens beside it.
    EXPECT_EQ(locked(d, [](DeviceModel& m) { return m.claimed_by[0]; }), 0);
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));
    EXPECT_NE(gContext, gDeviceContext);

    char payload[5] = {'P', 'I', 'N', 'G', '!'};
    EXPECT_EQ(USB_ControlWrite(payload, 5, 1), 5);
    auto request = locked(d, [](DeviceModel& m) { return m.vendor_and_class_requests.back(); });
    EXPECT_EQ(request.request_type, 0x41);
    EXPECT_EQ(request.request, 0x4D);
    EXPECT_EQ(request.value, 0x3C2B);
    EXPECT_EQ(request.index, 0);
    EXPECT_EQ(request.data_out, std::vector<uint8_t>(payload, payload + 5));

    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(USB_ControlRead(buf, 16, 1), 6);
    EXPECT_STREQ(buf, "STATE");
    request = locked(d, [](DeviceModel& m) { return m.vendor_and_class_requests.back(); });
    EXPECT_EQ(request.request_type, 0xC1);
    EXPECT_EQ(request.request, 0);
    EXPECT_EQ(request.value, 0);
    EXPECT_EQ(request.length, 16);

    // A stalled write counts as complete; a stalled read is an error with an
    // empty text left in the buffer.
    locked(d, [](DeviceModel& m) {
        m.answers().vendor_write_stalls = true;
        m.answers().vendor_read_reply.reset();
        return 0;
    });
    EXPECT_EQ(USB_ControlWrite(payload, 5, 1), 5);
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(USB_ControlRead(buf, 16, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(buf[0], 0);

    // A negative size never becomes a 64 KiB transfer.
    EXPECT_EQ(USB_ControlRead(buf, -1, 1), LIBUSB_ERROR_INVALID_PARAM);

    USB_DeviceClose();
    EXPECT_EQ(devHandle, nullptr);
    EXPECT_EQ(USB_ControlRead(buf, 8, 1), 0);
    USB_Close();
}

TEST_F(UsbTransport, NoContextOrHandleOutlivesItsChannel) {
    bed.add(scanner_config(0x5E5A, 0x1001, u"SN1"));
    ORVELA_Scanner texts{};
    snprintf(texts.brandName, sizeof texts.brandName, "Orvela");
    snprintf(texts.modelName, sizeof texts.modelName, "OR-M1020");
    snprintf(texts.serial, sizeof texts.serial, "SN1");

    // Warm libusb's process-wide parts up before counting descriptors.
    ASSERT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));
    USB_Close();
    const int before = open_descriptor_count();
    const std::string before_list = open_descriptor_list();
    for (int round = 0; round < 5; ++round) {
        EXPECT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));
        EXPECT_TRUE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1")));  // again, without a close
        USB_Close();
        EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "OTHER")));
        EXPECT_FALSE(USB_Open(usb_record(0x5E5A, 0x1001, "SN1", 1)));  // claim fails
        USB_Close();
        EXPECT_TRUE(USB_DeviceOpen(texts));
        EXPECT_TRUE(USB_DeviceOpen(texts));
        USB_DeviceClose();
        texts.serial[0] = 'X';
        EXPECT_FALSE(USB_DeviceOpen(texts));
        USB_DeviceClose();
        texts.serial[0] = 'S';
    }
    // A leaked context keeps its event descriptors and a leaked handle its
    // device node; umockdev may take a moment to close its side of a node.
    int after = open_descriptor_count();
    for (int waited = 0; after > before && waited < 2000; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        after = open_descriptor_count();
    }
    // umockdev may also still have been closing a socket of the warm-up when
    // `before` was counted, so fewer is fine; a leak adds descriptors every round.
    EXPECT_LE(after, before) << "before:\n" << before_list << "after:\n" << open_descriptor_list();
}

}  // namespace
