// The SNMP codec: request bytes against reference messages, the GetResponse
// readers on well-formed and hostile answers, and the two dumps.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/snmp_lite.h"
#include "tests/support/snmp_answer.h"

namespace {

const char* const kDiscovery[] = {"1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.2.0", "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1",
                                  "1.3.6.1.2.1.43.5.1.1.17.1", nullptr};
const char* const k1284 = "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1";

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<UINT8>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(const UINT8* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

// A request built into a buffer with guard bytes behind `capacity`.
struct Built {
    Bytes buffer;
    INT32 length;
    std::string hex() const { return toHex(buffer.data(), static_cast<size_t>(length)); }
    bool guardsIntact(size_t capacity) const {
        for (size_t i = capacity; i < buffer.size(); ++i)
            if (buffer[i] != 0xEE) return false;
        return true;
    }
};

Built buildMulti(const char* const* properties, INT32 id, size_t capacity = 1024, bool next = false) {
    Built b{Bytes(capacity + 64, 0xEE), 0};
    b.length = next ? SNMPBuildGetNextRequestMulti(b.buffer.data(), properties, id, capacity)
                    : SNMPBuildGetRequestMulti(b.buffer.data(), properties, id, capacity);
    return b;
}

Built buildOne(const char* property, INT32 id, size_t capacity = 1024) {
    Built b{Bytes(capacity + 64, 0xEE), 0};
    b.length = SNMPBuildGetRequest(b.buffer.data(), property, id, capacity);
    return b;
}

// The content of the OID of a one-property request.
std::string oidContent(const char* text) {
    const Built b = buildOne(text, 0);
    // 30 L, version (3), community (8), A0 L, three integers (9), 30 L, 30 L, 06 L
    return toHex(b.buffer.data() + 30, b.buffer[29]);
}

// BER pieces for hand-made answers (ber and cat: support/snmp_answer.h).
Bytes integer(const Bytes& content) { return ber(0x02, content); }
Bytes binding(const std::string& oidHex, const Bytes& value) { return ber(0x30, cat({ber(0x06, fromHex(oidHex)), value})); }

Bytes response(const std::vector<Bytes>& bindings, UINT8 errorStatus = 0, const Bytes& requestId = {0x00},
               UINT8 pdu = 0xA2) {
    Bytes list;
    for (const Bytes& b : bindings) list = cat({list, b});
    const Bytes body = cat({integer(requestId), integer({errorStatus}), integer({0x00}), ber(0x30, list)});
    return ber(0x30, cat({integer({0x00}), ber_octets("rdcomm"), ber(pdu, body)}));
}

// sysName, sysObjectID, 1284 device ID, serial: what a device answers.
Bytes deviceAnswer() {
    return response({binding("2b06010201010500", ber_octets("lab-printer")),
                     binding("2b06010201010200", ber(0x06, fromHex("2b0601040185da3d0165"))),
                     binding("2b06010401950b0102010201010301", ber_octets("MFG:Orvela;MDL:OR-M1020;")),
                     binding("2b060102012b0501011101", ber_octets("SN-0042"))},
                    0, {0x12, 0x34});
}

INT32 readData(const Bytes& msg, INT32 index, void* out, size_t size) {
    return SNMPResponseData(msg.data(), static_cast<INT32>(msg.size()), index, out, size);
}
INT32 readType(const Bytes& msg, INT32 index) {
    return SNMPResponseType(msg.data(), static_cast<INT32>(msg.size()), index, nullptr, nullptr, 0);
}

TEST(SnmpBuild, ReferenceMessages) {
    // The discovery request, community included.
    const Built discovery = buildMulti(kDiscovery, 0);
    EXPECT_EQ(discovery.length, 92);
    EXPECT_EQ(discovery.hex(),
              "305a02010004067264636f6d6da04d0201000201000201003042300c06082b060102010105000500300c06082b06010201010200"
              "05003013060f2b06010401950b01020102010103010500300f060b2b060102012b05010111010500");

    const Built single = buildOne(k1284, 0);
    EXPECT_EQ(single.length, 47);
    EXPECT_EQ(single.hex(),
              "302d02010004067264636f6d6da0200201000201000201003015"
              "3013060f2b06010401950b01020102010103010500");

    // GetNext differs only in the PDU tag.
    const Built next = buildMulti(kDiscovery, 0, 1024, true);
    ASSERT_EQ(next.length, 92);
    EXPECT_EQ(next.buffer[13], 0xA1);
    Bytes patched(next.buffer.begin(), next.buffer.begin() + 92);
    patched[13] = 0xA0;
    EXPECT_EQ(toHex(patched.data(), 92), discovery.hex());

    // Sixteen bindings: long-form lengths for message, PDU and binding list.
    std::vector<const char*> sixteen;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) sixteen.push_back(kDiscovery[j]);
    sixteen.push_back(nullptr);
    const Built longForm = buildMulti(sixteen.data(), 0);
    ASSERT_EQ(longForm.length, 296);
    const std::string h = longForm.hex();
    EXPECT_EQ(h.substr(0, 8), "30820124");
    EXPECT_EQ(h.substr(2 * 15, 8), "a0820115");
    EXPECT_EQ(h.substr(2 * 28, 8), "30820108");
    const std::string four = discovery.hex().substr(2 * 26);
    EXPECT_EQ(h.substr(2 * 32), four + four + four + four);

    // An empty list gives an empty binding list.
    const char* const none[] = {nullptr};
    const Built empty = buildMulti(none, 0);
    EXPECT_EQ(empty.hex(), "301802010004067264636f6d6da00b020100020100020100" "3000");
}

TEST(SnmpBuild, IntegerAndSubIdentifierEncodings) {
    struct Case {
        INT32 id;
        const char* hex;
    };
    const Case cases[] = {{0, "020100"},        {127, "02017f"},         {128, "02020080"},
                          {-1, "0201ff"},       {-129, "0202ff7f"},      {300, "0202012c"},
                          {INT_MAX, "02047fffffff"}, {INT_MIN, "020480000000"}, {255, "020200ff"},
                          {-128, "020180"},     {32768, "0203008000"}};
    for (const Case& c : cases) {
        const Built b = buildOne("1.3", c.id);
        ASSERT_GT(b.length, 0);
        EXPECT_EQ(b.hex().substr(2 * 15, strlen(c.hex)), c.hex) << c.id;
        // The request-id survives a trip through the reader (PDU made a response).
        Bytes msg(b.buffer.begin(), b.buffer.begin() + b.length);
        msg[13] = 0xA2;
        INT32 id = 12345;
        EXPECT_EQ(SNMPResponseType(msg.data(), b.length, 0, &id, nullptr, 0), SNMPTypeNull);
        EXPECT_EQ(id, c.id);
    }

    EXPECT_EQ(oidContent("1.3"), "2b");
    EXPECT_EQ(oidContent(""), "00");
    EXPECT_EQ(oidContent("1.3.2699"), "2b950b");
    EXPECT_EQ(oidContent("1.3.128"), "2b8100");
    EXPECT_EQ(oidContent("1.3.16384"), "2b818000");
    EXPECT_EQ(oidContent("1.3.4294967295"), "2b8fffffff7f");
    EXPECT_EQ(oidContent("1.3.0.127"), "2b007f");
    EXPECT_EQ(oidContent("2.100.3"), "813403");

    // The builder and parseObjectID agree on every form.
    for (const char* text : {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "1.3.4294967295.0", "0.39", "2.999.1"}) {
        const Bytes content = fromHex(oidContent(text));
        char back[64];
        EXPECT_EQ(snmp_lite::parseObjectID(content.data(), content.size(), back, sizeof back),
                  static_cast<int>(strlen(text)));
        EXPECT_STREQ(back, text);
    }
}

TEST(SnmpBuild, NeverWritesPastCapacity) {
    for (size_t capacity : {0u, 1u, 46u, 91u}) {
        const Built b = buildMulti(kDiscovery, 0, capacity);
        EXPECT_EQ(b.length, 0) << capacity;
        EXPECT_TRUE(b.guardsIntact(capacity)) << capacity;
    }
    const Built exact = buildMulti(kDiscovery, 0, 92);
    EXPECT_EQ(exact.length, 92);
    EXPECT_TRUE(exact.guardsIntact(92));
    EXPECT_EQ(buildOne(k1284, 0, 46).length, 0);
    EXPECT_EQ(buildOne(k1284, 0, 47).length, 47);

    // An OID text far longer than the buffer.
    std::string huge = "1.3";
    huge.append(5000, '.');
    const Built big = buildOne(huge.c_str(), 0, 1024);
    EXPECT_EQ(big.length, 0);
    EXPECT_TRUE(big.guardsIntact(1024));

    EXPECT_EQ(SNMPBuildGetRequest(nullptr, k1284, 0, 1024), 0);
    UINT8 out[64];
    EXPECT_EQ(SNMPBuildGetRequest(out, nullptr, 0, sizeof out), 0);
    EXPECT_EQ(SNMPBuildGetNextRequestMulti(out, nullptr, 0, sizeof out), 0);
}

TEST(SnmpRead, DeviceAnswer) {
    const Bytes msg = deviceAnswer();
    char text[128];
    INT32 id = 0;
    EXPECT_EQ(SNMPResponseType(msg.data(), static_cast<INT32>(msg.size()), 0, &id, text, sizeof text), SNMPTypeString);
    EXPECT_EQ(id, 0x1234);
    EXPECT_STREQ(text, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(readType(msg, 1), SNMPTypeObjectID);
    EXPECT_EQ(readType(msg, 3), SNMPTypeString);
    EXPECT_EQ(readType(msg, 4), -1);

    EXPECT_EQ(readData(msg, 0, text, sizeof text), 11);
    EXPECT_STREQ(text, "lab-printer");
    EXPECT_EQ(readData(msg, 1, text, sizeof text), 23);
    EXPECT_STREQ(text, "1.3.6.1.4.1.93501.1.101");
    EXPECT_EQ(readData(msg, 2, text, sizeof text), 24);
    EXPECT_STREQ(text, "MFG:Orvela;MDL:OR-M1020;");
    EXPECT_EQ(readData(msg, 3, text, sizeof text), 7);
    EXPECT_STREQ(text, "SN-0042");
    EXPECT_EQ(readData(msg, 4, text, sizeof text), -1);
    EXPECT_EQ(readData(msg, -1, text, sizeof text), -1);

    // Trailing bytes behind the message are ignored.
    Bytes padded = cat({msg, Bytes(10, 0x30)});
    EXPECT_EQ(readData(padded, 3, text, sizeof text), 7);
}

TEST(SnmpRead, ValueKinds) {
    const Bytes msg = response({binding("2b", integer({0x01, 0x2c})), binding("2b", ber(0x41, {0x00, 0x80, 0, 0, 0})),
                                binding("2b", ber(0x43, {0xff, 0x7f})), binding("2b", integer({})),
                                binding("2b", integer({0x01, 0, 0, 0, 0})), binding("2b", ber(0x05, {})),
                                binding("2b", ber(0x40, {10, 0, 0, 1})), binding("2b", ber_octets("")),
                                binding("2b", ber(0x06, {})), binding("2b", ber(0x42, {0x00, 0x00, 0xff, 0xff, 0xff, 0xff}))});
    INT32 v = 0;
    EXPECT_EQ(readData(msg, 0, &v, sizeof v), 300);
    EXPECT_EQ(v, 300);
    EXPECT_EQ(readData(msg, 1, &v, sizeof v), INT_MIN);  // unsigned 2^31, bits handed on
    EXPECT_EQ(readData(msg, 2, &v, sizeof v), -129);
    EXPECT_EQ(readData(msg, 2, &v, 3), -1);  // no room for an INT32
    v = 7;
    EXPECT_EQ(readData(msg, 3, &v, sizeof v), -1);  // empty INTEGER
    EXPECT_EQ(v, -1);
    v = 7;
    EXPECT_EQ(readData(msg, 4, &v, sizeof v), -1);  // INTEGER wider than 32 bits
    EXPECT_EQ(v, 7);
    EXPECT_EQ(readData(msg, 5, &v, sizeof v), -1);  // NULL
    EXPECT_EQ(readType(msg, 5), SNMPTypeNull);
    EXPECT_EQ(readData(msg, 6, &v, sizeof v), -1);  // IpAddress is not converted
    EXPECT_EQ(readType(msg, 6), 0x40);
    char text[8];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(readData(msg, 7, text, sizeof text), 0);  // empty OCTET STRING
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');
    memset(text, 'x', sizeof text);
    EXPECT_EQ(readData(msg, 8, text, sizeof text), 0);  // empty OID
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(readData(msg, 9, &v, sizeof v), -1);  // Gauge 0xFFFFFFFF with padding: bits are -1
    EXPECT_EQ(v, -1);
}

TEST(SnmpRead, RefusesWhatIsNotAnErrorFreeResponse) {
    const Bytes two = response({binding("2b06010201010500", ber_octets("a")), binding("2b06010201010200", ber_octets("b"))});
    char text[16];
    EXPECT_EQ(readData(two, 1, text, sizeof text), 1);
    EXPECT_STREQ(text, "b");
    EXPECT_EQ(readData(two, 2, text, sizeof text), -1);  // skip over binding 1 reaches the end
    EXPECT_EQ(readType(two, 2), -1);

    const Bytes noSuchName = response({binding("2b06010201010500", ber(0x05, {}))}, 2);
    EXPECT_EQ(readType(noSuchName, 0), -1);
    EXPECT_EQ(readData(noSuchName, 0, text, sizeof text), -1);

    const Bytes request = response({binding("2b", ber_octets("a"))}, 0, {0}, 0xA0);
    EXPECT_EQ(readType(request, 0), -1);
    EXPECT_EQ(readData(request, 0, text, sizeof text), -1);

    // Version 2c (1), and a zero-length version.
    Bytes v2 = two;
    v2[4] = 0x01;
    EXPECT_EQ(readType(v2, 0), -1);
    const Bytes emptyVersion = ber(0x30, cat({integer({}), ber_octets("rdcomm"),
                                               ber(0xA2, cat({integer({0}), integer({0}), integer({0}),
                                                              ber(0x30, binding("2b", ber_octets("a")))}))}));
    EXPECT_EQ(readType(emptyVersion, 0), -1);

    EXPECT_EQ(SNMPResponseType(nullptr, 10, 0, nullptr, nullptr, 0), -1);
    EXPECT_EQ(SNMPResponseData(two.data(), 0, 0, text, sizeof text), -1);
    EXPECT_EQ(SNMPResponseData(two.data(), -5, 0, text, sizeof text), -1);
    EXPECT_EQ(SNMPResponseData(two.data(), static_cast<INT32>(two.size()), 0, nullptr, 16), -1);
}

TEST(SnmpRead, HostileLengthsAndTruncation) {
    const Bytes msg = deviceAnswer();
    char text[64];

    // Every truncation of a valid answer is refused without reading past it:
    // each prefix is copied to a heap block of its exact size.
    for (size_t n = 0; n < msg.size(); ++n) {
        std::vector<UINT8> cut(msg.begin(), msg.begin() + n);
        for (INT32 index = 0; index < 4; ++index) {
            EXPECT_EQ(SNMPResponseType(cut.data(), static_cast<INT32>(n), index, nullptr, text, sizeof text), -1);
            EXPECT_EQ(SNMPResponseData(cut.data(), static_cast<INT32>(n), index, text, sizeof text), -1);
        }
    }

    // A value whose declared length runs past the datagram.
    Bytes tail = response({binding("2b", ber_octets("abcdef"))});
    tail[tail.size() - 7] = 0x7F;
    EXPECT_EQ(readData(tail, 0, text, sizeof text), -1);

    // Long-form lengths: 4 and 9 length bytes of 0xFF, a length of 2^31, and
    // the indefinite form, each in the outer header.
    for (const char* header : {"3084ffffffff", "3089ffffffffffffffffff", "308480000000", "3080"}) {
        Bytes bad = fromHex(header);
        bad.insert(bad.end(), msg.begin() + 2, msg.end());
        EXPECT_EQ(readData(bad, 0, text, sizeof text), -1) << header;
    }
    // Long form with leading zeros that stays inside the data is fine.
    int type = 0;
    size_t size = 0;
    const size_t header = snmp_lite::parseItem(msg.data(), msg.size(), &type, &size);
    ASSERT_GT(header, 0u);
    Bytes zeros = fromHex("30840000");
    zeros.push_back(static_cast<UINT8>(size >> 8));
    zeros.push_back(static_cast<UINT8>(size));
    zeros.insert(zeros.end(), msg.begin() + static_cast<long>(header), msg.end());
    EXPECT_EQ(readData(zeros, 3, text, sizeof text), 7);

    // Inner lengths that exceed their container are refused even when the
    // datagram would hold them.
    Bytes inner = cat({response({binding("2b", ber_octets("abc"))}), Bytes(16, 'z')});
    inner[inner.size() - 16 - 4] = 0x10;  // string length 3 -> 16
    EXPECT_EQ(readData(inner, 0, text, sizeof text), -1);

    // Multi-byte tag numbers: accepted when they fit, refused when they overflow.
    const Bytes highTag = response({binding("2b", fromHex("1f810003616263"))});
    EXPECT_EQ(readType(highTag, 0), 128);
    const Bytes hugeTag = response({binding("2b", fromHex("1fffffffffff7f00"))});
    EXPECT_EQ(readType(hugeTag, 0), -1);

    size = 99;
    EXPECT_EQ(snmp_lite::parseItem(fromHex("0482ffff").data(), 4, &type, &size), 0u);
    EXPECT_EQ(size, 99u);
    const Bytes exact = fromHex("0403616263");
    EXPECT_EQ(snmp_lite::parseItem(exact.data(), exact.size(), &type, &size), 2u);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(snmp_lite::parseItem(exact.data(), exact.size() - 1, &type, &size), 0u);
}

TEST(SnmpRead, OutputCapacityAndOddValues) {
    // A long string is cut to the buffer, terminated, and nothing past it is touched.
    const std::string longText(300, 'Q');
    const Bytes msg = response({binding("2b", ber_octets(longText)), binding("2b", ber_octets(std::string("a\0b\nc", 5))),
                                binding("2b", ber(0x06, fromHex("2b8fffffff7f01"))),
                                binding("2b", ber(0x06, fromHex("2b9080808000"))), binding("2b", ber(0x06, fromHex("2b81"))),
                                binding("2b06010401950b01020102010103", ber_octets("x"))});
    char buf[40];
    memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(readData(msg, 0, buf, 32), 31);
    EXPECT_EQ(std::string(buf), std::string(31, 'Q'));
    for (size_t i = 32; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x5A);
    EXPECT_EQ(readData(msg, 0, buf, 0), -1);
    EXPECT_EQ(readData(msg, 0, buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');

    // Embedded zero and newline are kept as bytes; the result tells the length.
    EXPECT_EQ(readData(msg, 1, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), std::string("a\0b\nc", 5));

    // The largest sub-identifier is printed unsigned; one wider than 32 bits
    // and one cut off are refused.
    EXPECT_EQ(readData(msg, 2, buf, sizeof buf), 16);
    EXPECT_STREQ(buf, "1.3.4294967295.1");
    EXPECT_EQ(readData(msg, 3, buf, sizeof buf), -1);
    EXPECT_EQ(readData(msg, 4, buf, sizeof buf), -1);

    // OID text that does not fit is refused rather than cut.
    EXPECT_EQ(readData(msg, 2, buf, 16), -1);
    EXPECT_EQ(readData(msg, 2, buf, 17), 16);

    // The binding's own OID into mibString.
    char mib[64];
    EXPECT_EQ(SNMPResponseType(msg.data(), static_cast<INT32>(msg.size()), 5, nullptr, mib, sizeof mib), SNMPTypeString);
    EXPECT_STREQ(mib, "1.3.6.1.4.1.2699.1.2.1.2.1.1.3");
    EXPECT_EQ(SNMPResponseType(msg.data(), static_cast<INT32>(msg.size()), 5, nullptr, mib, 10), -1);
}

TEST(SnmpDump, HexBuffer) {
    Bytes data;
    for (int i = 0; i < 20; ++i) data.push_back(static_cast<UINT8>(0x3A + i * 9));
    char out[512];
    const INT32 n = SNMPPrintBuffer(out, data.data(), static_cast<INT32>(data.size()), sizeof out);
    std::string expected = "3A43 4C55 5E67 7079  828B 949D A6AF B8C1  :CLU^gpy ........\nCAD3 DCE5";
    expected.append(31, ' ').append("  ....").append(13, ' ').append("\n");
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(n, static_cast<INT32>(expected.size()));

    // Cut to the buffer, still terminated, and the count is what was written.
    memset(out, 0x5A, sizeof out);
    EXPECT_EQ(SNMPPrintBuffer(out, data.data(), static_cast<INT32>(data.size()), 30), 29);
    EXPECT_EQ(std::string(out), expected.substr(0, 29));
    EXPECT_EQ(out[30], 0x5A);
    EXPECT_EQ(SNMPPrintBuffer(out, data.data(), 0, sizeof out), 0);
    EXPECT_EQ(SNMPPrintBuffer(nullptr, data.data(), 20, 100), 0);
}

TEST(SnmpDump, PacketTree) {
    const Built single = buildOne(k1284, 300);
    char out[2048];
    const INT32 n = SNMPPrintPacket(out, single.buffer.data(), single.length, sizeof out);
    const std::string expected =
        "Sequence {\n"
        "  Integer (1) = 0x00 = 0\n"
        "  String = \"rdcomm\"\n"
        "  Get-Request {\n"
        "    Integer (2) = 0x12c = 300\n"
        "    Integer (1) = 0x00 = 0\n"
        "    Integer (1) = 0x00 = 0\n"
        "    Sequence {\n"
        "      Sequence {\n"
        "        ObjectID = 15: 1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1\n"
        "        null\n"
        "      }\n"
        "    }\n"
        "  }\n"
        "}\n";
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(n, static_cast<INT32>(expected.size()));

    // Unknown tags are dumped in hexadecimal; control bytes in strings are
    // shown as dots so that a value cannot break the lines of the dump.
    const Bytes odd = ber(0x30, cat({ber(0x40, {10, 0, 0, 1}), ber_octets("x\ny"), ber(0x06, fromHex("2b81")), ber(0xA2, {})}));
    SNMPPrintPacket(out, odd.data(), static_cast<INT32>(odd.size()), sizeof out);
    std::string dumped = "Sequence {\n  0x40 (4)\n    0A00 0001";
    dumped.append(31, ' ').append("  ....").append(13, ' ');
    dumped.append("\n  String = \"x.y\"\n  ObjectID = 2: (malformed)\n  Get-Response {\n  }\n}\n");
    EXPECT_EQ(std::string(out), dumped);

    // A length beyond its container stops the walk with a note.
    Bytes broken = single.buffer;
    broken.resize(static_cast<size_t>(single.length));
    broken[1] = 0x7F;
    SNMPPrintPacket(out, broken.data(), static_cast<INT32>(broken.size()), sizeof out);
    EXPECT_EQ(std::string(out).substr(0, 30), "malformed item, 48 bytes left\n");

    // Nesting beyond 256 levels stops instead of overrunning the end table;
    // a small text buffer cuts the dump.
    Bytes nested{0x05, 0x00};
    for (int i = 0; i < 300; ++i) nested = ber(0x30, nested);
    std::vector<char> big(1 << 20);
    const INT32 m = SNMPPrintPacket(big.data(), nested.data(), static_cast<INT32>(nested.size()), big.size());
    EXPECT_EQ(static_cast<size_t>(m), strlen(big.data()));
    EXPECT_NE(std::string(big.data()).find("nesting too deep"), std::string::npos);
    char small[16];
    EXPECT_EQ(SNMPPrintPacket(small, nested.data(), static_cast<INT32>(nested.size()), sizeof small), 15);
    EXPECT_EQ(strlen(small), 15u);
}

}  // namespace
