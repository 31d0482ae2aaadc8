// USB discovery on the real libusb against emulated buses: the records of
// USB_FindScanner and USB_FindPrinter, hostile string descriptors, the IEEE
// 1284 device ID with its length rules, and the hot-plug watch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backend/usb_discovery.h"
#include "backend/usb_transport.h"
#include "tests/usb_emu/emu_test_util.h"
#include "tests/usb_emu/libusb_faults.h"
#include "tests/usb_emu/usbfs_emulation.h"

using namespace usb_emu;

namespace {

struct Found {
    std::vector<ORVELA_Scanner> records;
    bool null_array = false;
};

Found find_scanners() {
    ORVELA_Scanner* list = nullptr;
    const int n = USB_FindScanner(&list);
    Found f;
    f.null_array = list == nullptr;
    if (list != nullptr) f.records.assign(list, list + n);
    free(list);
    return f;
}

Found find_printers() {
    ORVELA_Device* list = nullptr;
    const int n = USB_FindPrinter(&list);
    Found f;
    f.null_array = list == nullptr;
    if (list != nullptr) f.records.assign(list, list + n);
    free(list);
    return f;
}

class UsbDiscovery : public testing::Test {
protected:
    Testbed bed;
    LogCapture log;  // the hot-plug watch reports what it sees in the log
};

TEST_F(UsbDiscovery, OneRecordPerScannerFunctionWithInterfacePositionsAndEndpoints) {
    // An ADF model of the table, with: 0 vendor class (bulk 0x01/0x81),
    // 1 printer class, 2 still-image class with two alternate settings (the
    // second has only an IN endpoint), 3 a HID-class interface.
    DeviceConfig c;
    c.vendor_id = 0x5E5A;
    c.product_id = 0x1006;
    c.manufacturer = u"Orvela";
    c.product = u"OR-M2270fdw";
    c.serial = u"E7K001";
    AltSetting image_alt1;
    image_alt1.interface_class = 6;
    image_alt1.endpoints = {{0x86, 2, 512}, {0x87, 3, 8}};  // interrupt endpoints are not data endpoints
    c.interfaces = {Interface{{bulk_pair(0xFF, 0x01, 0x81)}, nullptr},
                    Interface{{bulk_pair(7, 0x02, 0x82)}, "usblp"},
                    Interface{{bulk_pair(6, 0x03, 0x83), image_alt1}, nullptr},
                    Interface{{no_endpoints(3)}, nullptr}};
    bed.add(c);
    // Not ours: IDs outside the table, and the maker's third vendor ID.
    bed.add(scanner_config(0x1234, 0x1006, u"X1"));
    bed.add(scanner_config(0x5E5C, 0x0001, u"P1"));

    const Found f = find_scanners();
    ASSERT_EQ(f.records.size(), 3u);
    const ORVELA_Scanner& first = f.records[0];
    EXPECT_EQ(first.next, nullptr);
    EXPECT_STREQ(first.brandName, "Orvela");
    EXPECT_STREQ(first.modelName, "OR-M2270fdw");
    EXPECT_STREQ(first.serial, "E7K001");
    EXPECT_STREQ(first.deviceURI, "usb://5E5A:1006:E7K001");
    EXPECT_EQ(first.vendor_id, 0x5E5A);
    EXPECT_EQ(first.product_id, 0x1006);
    EXPECT_EQ(first.type_io, IOTYPE_USB);
    EXPECT_TRUE(first.isSupportADF);
    EXPECT_TRUE(first.isRightRearBP);
    EXPECT_EQ(first.speed, 0);
    EXPECT_EQ(first.port, 0);
    EXPECT_STREQ(first.ipaddress, "");

    EXPECT_EQ(first.interface, 0);
    EXPECT_EQ(first.endpoint_bulkin, 0x81);
    EXPECT_EQ(first.endpoint_bulkout, 0x01);
    EXPECT_EQ(f.records[1].interface, 2);
    EXPECT_EQ(f.records[1].endpoint_bulkin, 0x83);
    EXPECT_EQ(f.records[1].endpoint_bulkout, 0x03);
    // The second alternate setting has no bulk OUT: it keeps the previous one.
    EXPECT_EQ(f.records[2].interface, 2);
    EXPECT_EQ(f.records[2].endpoint_bulkin, 0x86);
    EXPECT_EQ(f.records[2].endpoint_bulkout, 0x03);
    EXPECT_STREQ(f.records[2].deviceURI, first.deviceURI);

    // The records open the data channel: the interface and endpoints are right.
    ASSERT_TRUE(USB_Open(f.records[0]));
    USB_Close();
}

TEST_F(UsbDiscovery, NothingFoundGivesNullAndScannerInterfaceWithoutBulkEndpointsGivesZeros) {
    bed.add(scanner_config(0x1234, 0x5678, u"FOREIGN"));
    Found f = find_scanners();
    EXPECT_TRUE(f.records.empty());
    EXPECT_TRUE(f.null_array);

    DeviceConfig bare = scanner_config(0x5E5B, 0x2001, u"B1");
    bare.interfaces = {Interface{{no_endpoints(0xFF)}, nullptr}};
    bed.add(bare);
    f = find_scanners();
    ASSERT_EQ(f.records.size(), 1u);
    EXPECT_EQ(f.records[0].endpoint_bulkin, 0);
    EXPECT_EQ(f.records[0].endpoint_bulkout, 0);
    EXPECT_FALSE(f.records[0].isSupportADF);
    EXPECT_STREQ(f.records[0].deviceURI, "usb://5E5B:2001:B1");

    // A null list pointer is refused instead of written through.
    EXPECT_EQ(USB_FindScanner(nullptr), 0);
}

TEST_F(UsbDiscovery, DevicesWithUnreadableDescriptorsAreSkippedNotTheWalk) {
    // The unreadable devices sit between the good ones: in either list order
    // the walk meets one of them before a good device.
    bed.add(scanner_config(0x5E5A, 0x1001, u"GOOD1"));
    bed.add(scanner_config(0x5E5A, 0x1002, u"NODESC"));
    bed.add(scanner_config(0x5E5A, 0x1003, u"NOCONFIG"));
    bed.add(scanner_config(0x5E5A, 0x1004, u"GOOD2"));
    const ArmedLibusbFaults faults({.bad_descriptor_product = 0x1002, .bad_config_product = 0x1003});

    std::vector<std::string> serials;
    for (const ORVELA_Scanner& r : find_scanners().records) serials.emplace_back(r.serial);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"GOOD1", "GOOD2"}));
    // The channels walk past them as well.
    for (const char* serial : {"GOOD1", "GOOD2"}) {
        ORVELA_Scanner texts = usb_record(0x5E5A, serial[4] == '1' ? 0x1001 : 0x1004, serial);
        snprintf(texts.brandName, sizeof texts.brandName, "Orvela");
        snprintf(texts.modelName, sizeof texts.modelName, "OR-M1020");
        EXPECT_TRUE(USB_DeviceOpen(texts)) << serial;
        USB_DeviceClose();
        EXPECT_TRUE(USB_Open(texts)) << serial;
        USB_Close();
    }
}

TEST_F(UsbDiscovery, HostileStringDescriptorsGiveEmptyOrCutTextsAndDistinctSafeNames) {
    DeviceConfig none = scanner_config(0x5E5A, 0x1001, u"");
    none.manufacturer.reset();
    none.product.reset();
    none.serial.reset();
    bed.add(none);

    DeviceConfig loud = scanner_config(0x5E5A, 0x1002, u"");
    loud.manufacturer = u"Orvela Imaging Corporation of the Far North Coast";  // 50 characters
    loud.product = u"Orv\u00e9la \u4e2d\u6587 Scan\u0001\u007f";
    // 126 characters: the longest a descriptor can carry.
    loud.serial = std::u16string(126, u'Z');
    bed.add(loud);

    // Two devices whose serials hold separators of a device name.
    bed.add(scanner_config(0x5E5A, 0x1003, u"A:B/C D%"));
    bed.add(scanner_config(0x5E5A, 0x1003, u"A%3AB/C D%"));

    Found f = find_scanners();
    ASSERT_EQ(f.records.size(), 4u);
    std::vector<std::string> uris;
    for (const ORVELA_Scanner& r : f.records) {
        uris.emplace_back(r.deviceURI);
        EXPECT_LT(strnlen(r.brandName, sizeof r.brandName), sizeof r.brandName);
        EXPECT_LT(strnlen(r.modelName, sizeof r.modelName), sizeof r.modelName);
        EXPECT_LT(strnlen(r.serial, sizeof r.serial), sizeof r.serial);
        EXPECT_LT(strnlen(r.deviceURI, sizeof r.deviceURI), sizeof r.deviceURI);
        for (const char* text : {r.brandName, r.modelName, r.serial, r.deviceURI}) {
            for (const char* p = text; *p != '\0'; ++p) {
                EXPECT_TRUE(*p >= 0x20 && *p <= 0x7E) << "byte " << static_cast<int>(static_cast<unsigned char>(*p));
            }
        }
    }
    auto by_product = [&](int pid) -> std::vector<const ORVELA_Scanner*> {
        std::vector<const ORVELA_Scanner*> out;
        for (const ORVELA_Scanner& r : f.records) {
            if (r.product_id == pid) out.push_back(&r);
        }
        return out;
    };
    const ORVELA_Scanner& empty = *by_product(0x1001).at(0);
    EXPECT_STREQ(empty.brandName, "");
    EXPECT_STREQ(empty.modelName, "");
    EXPECT_STREQ(empty.serial, "");
    EXPECT_STREQ(empty.deviceURI, "usb://5E5A:1001:");

    const ORVELA_Scanner& cut = *by_product(0x1002).at(0);
    EXPECT_STREQ(cut.brandName, "Orvela Imaging Corporation of t");  // 31 characters
    EXPECT_STREQ(cut.modelName, "Orv?la ?? Scan??");
    EXPECT_EQ(std::string(cut.serial), std::string(31, 'Z'));
    EXPECT_EQ(std::string(cut.deviceURI), "usb://5E5A:1002:" + std::string(31, 'Z'));

    const auto pair = by_product(0x1003);
    ASSERT_EQ(pair.size(), 2u);
    std::vector<std::string> escaped = {pair[0]->deviceURI, pair[1]->deviceURI};
    std::sort(escaped.begin(), escaped.end());
    EXPECT_EQ(escaped[0], "usb://5E5A:1003:A%253AB%2FC%20D%25");
    EXPECT_EQ(escaped[1], "usb://5E5A:1003:A%3AB%2FC%20D%25");
    // The serial field keeps the device's own text: the data channel matches on it.
    ASSERT_TRUE(USB_Open(*pair[0]));
    USB_Close();

    EXPECT_EQ(orvela_usb::escape_serial("Ab9._-"), "Ab9._-");
    EXPECT_EQ(orvela_usb::escape_serial("\x7f\x01?"), "%7F%01%3F");
}

TEST_F(UsbDiscovery, FindPrinterTakesTheMakersVendorIdsAndRecordsPrinterInterfaces) {
    DeviceConfig third = scanner_config(0x5E5C, 0x0042, u"P1");  // no model row has this ID
    third.interfaces = {Interface{{bulk_pair(7, 0x02, 0x82), bulk_pair(7, 0x03, 0x83)}, "usblp"},
                        Interface{{bulk_pair(0xFF, 0x01, 0x81)}, nullptr}};
    bed.add(third);
    bed.add(scanner_config(0x5E5A, 0x1006, u"ADF1"));  // an ADF row: flags stay false here
    bed.add(scanner_config(0x1234, 0x1006, u"X"));

    const Found f = find_printers();
    ASSERT_EQ(f.records.size(), 3u);
    int third_records = 0;
    for (const ORVELA_Scanner& r : f.records) {
        EXPECT_FALSE(r.isSupportADF);
        EXPECT_FALSE(r.isRightRearBP);
        EXPECT_EQ(r.type_io, IOTYPE_USB);
        if (r.vendor_id == 0x5E5C) {
            ++third_records;
            EXPECT_EQ(r.interface, 0);
            EXPECT_STREQ(r.deviceURI, "usb://5E5C:0042:P1");
        } else {
            EXPECT_EQ(r.vendor_id, 0x5E5A);
            EXPECT_EQ(r.interface, 1);
            EXPECT_EQ(r.endpoint_bulkin, 0x82);
            EXPECT_EQ(r.endpoint_bulkout, 0x02);
        }
    }
    EXPECT_EQ(third_records, 2);
    // USB_FindScanner does not take the third vendor ID.
    EXPECT_EQ(find_scanners().records.size(), 1u);
}

// The device answers GET_DEVICE_ID with `reply`; the caller's buffer is
// `size` bytes inside a larger guarded block.
struct IdQuery {
    bool ok = false;
    std::string text;
    bool guard_intact = true;
    size_t text_length = 0;
};

IdQuery query_device_id(Testbed& bed, EmulatedDevice& d, std::optional<std::vector<uint8_t>> reply, size_t size) {
    (void)bed;
    d.with_model([&](DeviceModel& m) {
        m.answers().device_id_reply = std::move(reply);
        return 0;
    });
    std::vector<char> block(size + 64, '#');
    IdQuery q;
    q.ok = getUSB1284DeviceId("Orvela", "OR-M1020", "ID1", block.data(), size);
    for (size_t i = size; i < block.size(); ++i) q.guard_intact = q.guard_intact && block[i] == '#';
    q.text_length = strnlen(block.data(), size);
    q.text.assign(block.data(), q.text_length);
    return q;
}

std::vector<uint8_t> reply_of(uint8_t b0, uint8_t b1, size_t total, char fill = 'T') {
    std::vector<uint8_t> r(total, static_cast<uint8_t>(fill));
    r[0] = b0;
    r[1] = b1;
    return r;
}

TEST_F(UsbDiscovery, DeviceIdLengthRulesNeverPassTheBufferOrWhatTheDeviceSent) {
    EmulatedDevice& d = bed.add(scanner_config(0x5E5A, 0x1001, u"ID1"));

    IdQuery q = query_device_id(bed, d, device_id_reply("MFG:Orvela;MDL:OR-M1020;CMD:PCL;"), 1024);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(q.text, "MFG:Orvela;MDL:OR-M1020;CMD:PCL;");
    auto request = d.with_model([](DeviceModel& m) { return m.vendor_and_class_requests.back(); });
    EXPECT_EQ(request.request_type, 0xA1);
    EXPECT_EQ(request.request, 0);
    EXPECT_EQ(request.value, 1);
    EXPECT_EQ(request.index, 0);
    EXPECT_EQ(request.length, 1024);
    EXPECT_EQ(devHandle, nullptr);  // the control channel is closed again
    EXPECT_EQ(gDeviceContext, nullptr);

    // 0x00 0x2A: 42 bytes. 0x2A 0x00: 10752 is too long, read the other way: 42.
    // 0xFF 0xFF: too long both ways, 1022.
    q = query_device_id(bed, d, reply_of(0x00, 0x2A, 1024), 1024);
    EXPECT_EQ(q.text, std::string(42, 'T'));
    q = query_device_id(bed, d, reply_of(0x2A, 0x00, 1024), 1024);
    EXPECT_EQ(q.text, std::string(42, 'T'));
    q = query_device_id(bed, d, reply_of(0xFF, 0xFF, 1024), 1024);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(q.text, std::string(1022, 'T'));
    EXPECT_TRUE(q.guard_intact);

    // A length beyond what the device sent stops at what it sent: no stale
    // bytes of the caller's buffer become text.
    q = query_device_id(bed, d, reply_of(0x01, 0x00, 12), 1024);
    EXPECT_EQ(q.text, std::string(10, 'T'));

    // A small buffer: the transfer and the text stay inside it.
    q = query_device_id(bed, d, device_id_reply(std::string(300, 'L')), 16);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(q.text, std::string(14, 'L'));
    EXPECT_TRUE(q.guard_intact);
    q = query_device_id(bed, d, device_id_reply("ABC"), 2);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(q.text, "");
    EXPECT_TRUE(q.guard_intact);

    // A reply shorter than its own length bytes.
    q = query_device_id(bed, d, std::vector<uint8_t>{0x00}, 64);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(q.text, "");

    // The device refuses the request.
    q = query_device_id(bed, d, std::nullopt, 64);
    EXPECT_FALSE(q.ok);
    EXPECT_EQ(q.text_length, 0u);
    EXPECT_EQ(gDeviceContext, nullptr);

    // No device with these texts, and buffers too small to hold the length.
    char small[4] = "abc";
    EXPECT_FALSE(getUSB1284DeviceId("Orvela", "OR-M1020", "NOPE", small, sizeof small));
    EXPECT_EQ(gDeviceContext, nullptr);
    EXPECT_FALSE(getUSB1284DeviceId("Orvela", "OR-M1020", "ID1", small, 1));
    EXPECT_STREQ(small, "abc");
}

TEST_F(UsbDiscovery, HotplugReportsArrivalsAndDeparturesUntilAskedToStop) {
    bed.add(scanner_config(0x5E5A, 0x1001, u"H1"));          // present from the start
    bed.add(scanner_config(0x5E5A, 0x7777, u"H2"));          // the maker's, but not in the table
    bed.add(scanner_config(0x1234, 0x1001, u"H3"));          // not the maker's

    orvela_usb::hotplug_reset_stop();
    int result = -1;
    std::thread loop([&] { result = HotplugRegist(); });

    EXPECT_TRUE(log.wait_for("Device attached, ", 1));
    EXPECT_TRUE(log.contains("Enter in Hotplug_register\n"));
    EXPECT_TRUE(log.contains("Device: 5e5a:1001\n"));
    EXPECT_TRUE(log.contains("It is a Orvela printer, and supports Daemon.\n"));
    EXPECT_TRUE(log.wait_for("Device: 5e5a:7777\n", 1));
    EXPECT_FALSE(log.contains("Device: 1234:1001\n"));

    EmulatedDevice& late = bed.add(scanner_config(0x5E5B, 0x2002, u"H4"));
    EXPECT_TRUE(log.wait_for("Device attached, ", 2));
    EXPECT_TRUE(log.contains("Device: 5e5b:2002\n"));

    bed.remove(late);
    EXPECT_TRUE(log.wait_for("Device detached, ", 1));
    // Only the two table devices said more than their IDs.
    EXPECT_EQ(log.count("It is a Orvela printer, and supports Daemon.\n"), 3u);

    orvela_usb::hotplug_request_stop();
    loop.join();
    EXPECT_EQ(result, 0);
    orvela_usb::hotplug_reset_stop();

    // The callback alone: a device it cannot describe is only reported.
    log.clear();
    EXPECT_EQ(hotplug_callback(nullptr, nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, nullptr), 0);
    EXPECT_TRUE(log.contains("Error getting device descriptor\n"));
}

TEST_F(UsbDiscovery, HotplugStoppedBeforeItStartsReturnsAfterRegistering) {
    orvela_usb::hotplug_request_stop();
    EXPECT_EQ(HotplugRegist(), 0);
    orvela_usb::hotplug_reset_stop();
    // The default context was ended: a discovery afterwards still works.
    bed.add(scanner_config(0x5E5A, 0x1001, u"S1"));
    EXPECT_EQ(find_scanners().records.size(), 1u);
}

}  // namespace
