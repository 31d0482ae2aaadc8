// Tests of the simulated scanner's SNMP agent: what it answers, read back
// through the host's own codec and discovery rules, over loopback sockets and
// from the orvela-scanner-sim program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/net_discovery.h"
#include "common/snmp_lite.h"
#include "tests/support/namespaces.h"
#include "tools/scanner_sim/sim_snmp_responder.h"
#include "tools/scanner_sim/tests/sim_program.h"

using namespace orvela_sim;
using Bytes = std::vector<uint8_t>;

namespace {

const char* const kDiscoveryObjects[] = {kOidSysName, kOidSysObjectId, kOid1284DeviceId, kOidSerialNumber, nullptr};
const std::vector<std::string> kFour = {kOidSysName, kOidSysObjectId, kOid1284DeviceId, kOidSerialNumber};

Bytes discovery_request(int32_t id = 0, const char* const* objects = kDiscoveryObjects) {
    Bytes out(1024);
    const INT32 n = SNMPBuildGetRequestMulti(out.data(), objects, id, out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

sockaddr_in address(const char* text, uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

bool accepted(const Bytes& answer, ORVELA_Scanner* record) {
    return net_discovery::answer_to_record(answer.data(), static_cast<int>(answer.size()), address("10.231.1.40"),
                                           record);
}

std::string text_value(const Bytes& answer, int index) {
    char buf[4096] = {};
    const INT32 n = SNMPResponseData(answer.data(), static_cast<INT32>(answer.size()), index, buf, sizeof buf);
    return n < 0 ? "<fail>" : std::string(buf, static_cast<size_t>(n));
}

// Where the PDU tag stands: after the message header, version and community.
size_t pdu_offset(const Bytes& a) { return (a[1] & 0x80 ? 2 + (a[1] & 0x7F) : 2) + 3 + 8; }

bool contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(SimSnmpAnswers, WellBehavedAnswerReadsBackThroughTheHostCodec) {
    // The request as the host builds it is understood field by field.
    const Bytes request = discovery_request(300);
    ASSERT_EQ(request.size(), 93u);  // 92 bytes with id 0, one more for 300
    SnmpRequestRecord rec;
    std::string community;
    ASSERT_TRUE(parse_snmp_request(request.data(), request.size(), &rec, &community));
    EXPECT_EQ(community, "rdcomm");
    EXPECT_EQ(rec.pdu_type, 0xA0);
    EXPECT_EQ(rec.request_id, 300);
    EXPECT_EQ(rec.objects, kFour);
    const uint8_t priming[2] = {0, 0};
    SnmpRequestRecord scratch;
    EXPECT_FALSE(parse_snmp_request(priming, sizeof priming, &scratch, &community));
    for (size_t cut = 0; cut < request.size(); ++cut)
        EXPECT_FALSE(parse_snmp_request(request.data(), cut, &scratch, &community)) << cut;

    SnmpIdentity id;
    id.object_id = "1.3.6.1.4.1.93501.1.104";  // a feeder model, right-rear reference
    id.device_id = "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;";
    id.serial = "OR-77";
    const Bytes answer = build_snmp_answer(id, SnmpFaults{}, rec.objects, rec.request_id);
    INT32 echoed = 0;
    EXPECT_EQ(SNMPResponseType(answer.data(), static_cast<INT32>(answer.size()), 1, &echoed, nullptr, 0), 6);
    EXPECT_EQ(echoed, 300);
    EXPECT_EQ(text_value(answer, 0), "orvela-sim");
    EXPECT_EQ(text_value(answer, 1), "1.3.6.1.4.1.93501.1.104");
    EXPECT_EQ(text_value(answer, 2), "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;");
    EXPECT_EQ(text_value(answer, 3), "OR-77");
    ORVELA_Scanner r;
    ASSERT_TRUE(accepted(answer, &r));
    EXPECT_STREQ(r.brandName, "Orvela");
    EXPECT_STREQ(r.modelName, "OR-M2270fdw");
    EXPECT_STREQ(r.serial, "OR-77");
    EXPECT_TRUE(r.isSupportADF);
    EXPECT_TRUE(r.isRightRearBP);

    // Arcs beyond one byte and the empty identifier.
    id.object_id = "2.999.16384.4294967295";
    EXPECT_EQ(text_value(build_snmp_answer(id, {}, kFour, 0), 1), "2.999.16384.4294967295");
    id.object_id = "";
    EXPECT_EQ(text_value(build_snmp_answer(id, {}, kFour, 0), 1), "");
    // The single-object request of the 1284 query.
    EXPECT_EQ(text_value(build_snmp_answer(id, {}, {kOid1284DeviceId}, 0), 0), "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;");
}

TEST(SimSnmpAnswers, EveryBadAnswerIsRefusedByDiscovery) {
    const SnmpIdentity id;
    ORVELA_Scanner r;
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r)) << "the good answer, for contrast";
    const Bytes serial_bytes(id.serial.begin(), id.serial.end());

    SnmpFaults f;
    f.error_status = 2;  // noSuchName with NULL values, as snmpd sends it
    Bytes a = build_snmp_answer(id, f, kFour, 0);
    EXPECT_FALSE(accepted(a, &r));
    EXPECT_TRUE(contains(a, {0x02, 0x01, 0x02, 0x02, 0x01, 0x01})) << "error-status 2, error-index 1";
    EXPECT_FALSE(contains(a, serial_bytes)) << "values are NULL";
    f.error_keeps_values = true;
    a = build_snmp_answer(id, f, kFour, 0);
    EXPECT_FALSE(accepted(a, &r));
    EXPECT_TRUE(contains(a, serial_bytes));
    f.missing = kObjSerial;  // an absent object nulls the values all the same
    a = build_snmp_answer(id, f, kFour, 0);
    EXPECT_TRUE(contains(a, {0x02, 0x01, 0x02, 0x02, 0x01, 0x04}));
    EXPECT_FALSE(contains(a, serial_bytes));

    const unsigned objects[4] = {kObjSysName, kObjSysObjectId, kObjDeviceId, kObjSerial};
    for (int i = 0; i < 4; ++i) {
        SnmpFaults missing;
        missing.missing = objects[i];
        a = build_snmp_answer(id, missing, kFour, 0);
        EXPECT_FALSE(accepted(a, &r)) << "missing " << i;
        EXPECT_TRUE(contains(a, {0x02, 0x01, 0x02, 0x02, 0x01, static_cast<uint8_t>(i + 1)})) << i;
        EXPECT_FALSE(contains(a, serial_bytes)) << i;
        SnmpFaults null_value;
        null_value.null_values = objects[i];
        a = build_snmp_answer(id, null_value, kFour, 0);
        EXPECT_FALSE(accepted(a, &r)) << "NULL " << i;
        EXPECT_TRUE(contains(a, {0x02, 0x01, 0x00, 0x02, 0x01, 0x00})) << "no error " << i;
        SnmpFaults omitted;
        omitted.omitted = objects[i];
        EXPECT_FALSE(accepted(build_snmp_answer(id, omitted, kFour, 0), &r)) << "omitted " << i;
    }
    // An object the agent does not serve at all: noSuchName at its position.
    a = build_snmp_answer(id, {}, {kOidSysName, "1.3.6.1.2.1.1.3.0"}, 0);
    EXPECT_TRUE(contains(a, {0x02, 0x01, 0x02, 0x02, 0x01, 0x02}));

    for (uint8_t pdu : {0xA0, 0xA1, 0xA3, 0xA4, 0x30}) {
        SnmpFaults wrong;
        wrong.pdu_type = pdu;
        a = build_snmp_answer(id, wrong, kFour, 0);
        EXPECT_EQ(a[pdu_offset(a)], pdu);
        EXPECT_FALSE(accepted(a, &r)) << int{pdu};
    }

    const size_t whole = build_snmp_answer(id, {}, kFour, 0).size();
    for (size_t cut = 1; cut < whole; ++cut) {
        SnmpFaults truncated;
        truncated.truncate_to = cut;
        a = build_snmp_answer(id, truncated, kFour, 0);
        ASSERT_EQ(a.size(), cut);
        EXPECT_FALSE(accepted(a, &r)) << cut;
    }

    // Oversized: the padding binding makes the datagram exactly the size
    // asked for; the host's 2048-byte receive keeps only the start of it.
    for (size_t size : {2049u, 2300u, 4000u, 65000u}) {
        SnmpFaults big;
        big.oversize_to = size;
        a = build_snmp_answer(id, big, kFour, 0);
        EXPECT_EQ(a.size(), size);
        a.resize(2048);
        EXPECT_FALSE(accepted(a, &r)) << size;
    }
    SnmpFaults fits;
    fits.oversize_to = 2048;  // padded but whole: the four values still read
    EXPECT_TRUE(accepted(build_snmp_answer(id, fits, kFour, 0), &r));

    // A stock agent of another maker.
    EXPECT_FALSE(accepted(build_foreign_answer("agent-1", kFour, 0, "rdcomm"), &r));
}

TEST(SimSnmpAnswers, LongAndOddValuesStayWithinTheRecord) {
    ORVELA_Scanner r;
    SnmpIdentity id;
    id.device_id = "MDL:OR-Y;";  // no maker: the sysName names the device
    id.sys_name = std::string(1500, 'n');
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r));
    EXPECT_EQ(strnlen(r.modelName, sizeof r.modelName), sizeof r.modelName - 1);

    id = SnmpIdentity{};
    id.serial = std::string(100, 's');
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r));
    EXPECT_EQ(std::string(r.serial), std::string(sizeof r.serial - 1, 's'));

    id = SnmpIdentity{};
    id.device_id = "MFG:" + std::string(600, 'm') + ";MDL:" + std::string(700, 'd') + ";";
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r));
    EXPECT_EQ(std::string(r.brandName), std::string(sizeof r.brandName - 1, 'm'));
    EXPECT_EQ(std::string(r.modelName), std::string(sizeof r.modelName - 1, 'd'));

    id = SnmpIdentity{};
    id.device_id = std::string("MFG:Orv\0ela;MDL:OR-M1020;", 26);  // the ID ends at the zero byte
    id.sys_name = "line1\nline2";
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r));
    EXPECT_STREQ(r.brandName, "");
    EXPECT_STREQ(r.modelName, "line1?line2");  // control characters never reach a listing
    id.serial = std::string("SN\0hidden", 9);
    ASSERT_TRUE(accepted(build_snmp_answer(id, {}, kFour, 0), &r));
    EXPECT_STREQ(r.serial, "SN");
}

// --- over loopback sockets ---

class Host {
public:
    explicit Host(const char* bind_to = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = address(bind_to);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~Host() { close(fd_); }
    void send(const Bytes& b, uint16_t port, const char* to = "127.0.0.1") {
        const sockaddr_in a = address(to, port);
        sendto(fd_, b.data(), b.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // The next datagram within `ms`, with its sender; empty when none came.
    Bytes receive(int ms, std::string* from = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return {};
        Bytes b(70000);
        sockaddr_in sender{};
        socklen_t size = sizeof sender;
        const ssize_t n = recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sender), &size);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (from) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
            *from = text;
        }
        return b;
    }

private:
    int fd_;
};

TEST(SimSnmpResponder, AnswersOverUdpLikeAnAgent) {
    SnmpResponder agent;
    ASSERT_TRUE(agent.start());
    ASSERT_NE(agent.port(), 0);
    Host host;
    host.send({0, 0}, agent.port());  // the priming datagram: no answer
    EXPECT_TRUE(host.receive(200).empty());
    host.send(discovery_request(7), agent.port());
    const Bytes answer = host.receive(2000);
    ORVELA_Scanner r;
    EXPECT_TRUE(accepted(answer, &r));
    INT32 echoed = -1;
    SNMPResponseType(answer.data(), static_cast<INT32>(answer.size()), 0, &echoed, nullptr, 0);
    EXPECT_EQ(echoed, 7);

    // Another community, a GetNextRequest: ignored as a stock agent does.
    Bytes other = discovery_request(8);
    const Bytes rdcomm = {'r', 'd', 'c', 'o', 'm', 'm'};
    std::copy(std::begin("public"), std::begin("public") + 6,
              std::search(other.begin(), other.end(), rdcomm.begin(), rdcomm.end()));
    host.send(other, agent.port());
    Bytes next(1024);
    next.resize(static_cast<size_t>(SNMPBuildGetNextRequest(next.data(), kOidSysName, 9, next.size())));
    host.send(next, agent.port());
    EXPECT_TRUE(host.receive(300).empty());
    EXPECT_EQ(agent.answers_sent(), 1);

    const auto seen = agent.requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_FALSE(seen[0].well_formed);
    EXPECT_EQ(seen[0].size, 2u);
    EXPECT_TRUE(seen[1].well_formed);
    EXPECT_EQ(seen[1].objects, kFour);
    EXPECT_EQ(seen[3].pdu_type, 0xA1);
    agent.stop();
    agent.stop();
    EXPECT_FALSE(agent.running());

    // The port is taken: a second agent on it fails to start with a reason.
    SnmpResponder first;
    ASSERT_TRUE(first.start());
    SnmpOptions same;
    same.address = "127.0.0.1";
    same.port = first.port();
    same.faults.flood_from = {"not-an-address"};
    SnmpResponder bad(same);
    std::string error;
    EXPECT_FALSE(bad.start(&error));
    EXPECT_NE(error.find("flood source"), std::string::npos) << error;
}

TEST(SimSnmpResponder, FloodOfOtherAgentsComesBeforeTheOwnAnswer) {
    SnmpOptions options;
    options.faults.flood = 40;
    options.faults.flood_interval_us = 200;
    options.faults.flood_from = {"127.0.0.2", "127.0.0.3"};
    SnmpResponder agent(options);
    ASSERT_TRUE(agent.start());
    Host host;
    host.send(discovery_request(), agent.port());
    host.send(discovery_request(), agent.port());  // a repeat from the same socket: no second flood
    int foreign = 0, own = 0;
    std::vector<std::string> senders;
    for (;;) {
        std::string from;
        const Bytes b = host.receive(500, &from);
        if (b.empty()) break;
        ORVELA_Scanner r;
        if (accepted(b, &r)) {
            ++own;
            EXPECT_EQ(foreign, 40) << "the own answer comes last";
            EXPECT_EQ(from, "127.0.0.1");
        } else {
            ++foreign;
            EXPECT_EQ(text_value(b, 1), kForeignObjectId);
            senders.push_back(from);
        }
    }
    EXPECT_EQ(foreign, 40);
    EXPECT_EQ(own, 1);
    ASSERT_GE(senders.size(), 2u);
    EXPECT_EQ(senders[0], "127.0.0.2");
    EXPECT_EQ(senders[1], "127.0.0.3");
    EXPECT_EQ(agent.foreign_answers_sent(), 40);

    Host another;  // a new discovery socket gets a flood of its own
    another.send(discovery_request(), agent.port());
    int count = 0;
    while (!another.receive(500).empty()) ++count;
    EXPECT_EQ(count, 41);
}

// net-snmp's own client reads the agent's answers (an independent decoder of
// its BER), when it is installed.
std::string run_snmpget(uint16_t port, const std::string& objects) {
    char dir[] = "/tmp/orvela-snmpget-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "<no temp dir>";
    const std::string command = "SNMP_PERSISTENT_DIR=" + std::string(dir) +
                                " snmpget -v1 -c rdcomm -r0 -t2 -On -m '' 127.0.0.1:" + std::to_string(port) + " " +
                                objects + " 2>&1";
    std::string text;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p)) text += buf;
        pclose(p);
    }
    const std::string cleanup = "rm -rf " + std::string(dir);
    if (system(cleanup.c_str()) != 0) text += "<cleanup failed>";
    return text;
}

TEST(SimSnmpResponder, NetSnmpClientReadsTheAnswers) {
    if (system("command -v snmpget >/dev/null 2>&1") != 0) GTEST_SKIP() << "snmpget not installed";
    SnmpOptions options;
    options.identity.object_id = "1.3.6.1.4.1.98847.4.315";
    options.identity.serial = "OR-4242";
    SnmpResponder agent(options);
    ASSERT_TRUE(agent.start());
    std::string all;
    for (const auto& oid : kFour) all += oid + " ";
    const std::string text = run_snmpget(agent.port(), all);
    EXPECT_NE(text.find(".1.3.6.1.2.1.1.5.0 = STRING: \"orvela-sim\""), std::string::npos) << text;
    EXPECT_NE(text.find(".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.98847.4.315"), std::string::npos) << text;
    EXPECT_NE(text.find("STRING: \"MFG:Orvela;MDL:OR-M1020;CMD:PCL;\""), std::string::npos) << text;
    EXPECT_NE(text.find(".1.3.6.1.2.1.43.5.1.1.17.1 = STRING: \"OR-4242\""), std::string::npos) << text;
    // An object it does not have: the client names it as the failed one.
    const std::string missing = run_snmpget(agent.port(), "1.3.6.1.2.1.1.5.0 1.3.6.1.2.1.1.3.0");
    EXPECT_NE(missing.find("noSuchName"), std::string::npos) << missing;
    EXPECT_NE(missing.find("Failed object: .1.3.6.1.2.1.1.3.0"), std::string::npos) << missing;
}

// --- the host's discovery code against the agent on port 161, in a private
// network namespace of a child process ---

TEST(SimSnmpDiscovery, DirectQueriesOfTheHostFindTheSimulatedDevice) {
    expect_in_private_network([] {
        SnmpOptions options;
        options.port = 161;
        options.identity.serial = "OR-0161";
        SnmpResponder agent(options);
        if (!agent.start()) return 1;
        ORVELA_Scanner r;
        if (!net_discovery::probe_address("127.0.0.1", &r, 3)) return 2;
        if (strcmp(r.serial, "OR-0161") != 0 || strcmp(r.modelName, "OR-M1020") != 0) return 3;
        char id[256];
        if (!getSNMP1284DeviceId("127.0.0.1", id, sizeof id)) return 4;
        if (strcmp(id, "MFG:Orvela;MDL:OR-M1020;CMD:PCL;") != 0) return 5;
        agent.stop();
        // The same agent with the serial number missing is no device.
        options.faults.missing = kObjSerial;
        SnmpResponder incomplete(options);
        if (!incomplete.start()) return 6;
        if (net_discovery::probe_address("127.0.0.1", &r, 2)) return 7;
        if (incomplete.requests().size() < 2) return 8;  // it was asked and answered badly
        return 0;
    });
}

// --- the program's switches ---

TEST(SimSnmpProgram, SwitchesReachTheAgent) {
    {
        SimProgram sim({"--listen", "127.0.0.1", "--port", "0", "--snmp", "--snmp-port", "0", "--model", "OR-M2810fdn",
                     "--serial", "A\\nB\\x41", "--sys-name", "lab\\0x"});
        ASSERT_NE(sim.port(), 0) << sim.first_line;  // answering SNMP on that port
        Host host;
        host.send(discovery_request(), sim.port());
        const Bytes a = host.receive(2000);
        EXPECT_EQ(text_value(a, 0), std::string("lab\0x", 5));
        EXPECT_EQ(text_value(a, 1), "1.3.6.1.4.1.93501.1.109");  // the row's sysObjectID
        EXPECT_EQ(text_value(a, 2), "MFG:Orvela;MDL:OR-M2810fdn;CMD:PCL;");
        EXPECT_EQ(text_value(a, 3), "A\nBA");
        kill(sim.pid, SIGTERM);
        EXPECT_EQ(sim.wait_exit(), 0);
    }
    {
        SimProgram sim({"--listen", "127.0.0.1", "--port", "0", "--snmp", "--snmp-port", "0", "--model", "OR-M1120",
                     "--snmp-pdu", "0xA4"});
        ASSERT_NE(sim.port(), 0) << sim.first_line;  // answering SNMP on that port
        Host host;
        host.send(discovery_request(), sim.port());
        const Bytes a = host.receive(2000);
        ASSERT_GT(a.size(), 16u);
        EXPECT_EQ(a[pdu_offset(a)], 0xA4);
        EXPECT_TRUE(contains(a, {0x06, 0x01, 0x00})) << "0.0 for a model without an identifier";
    }
    {
        SimProgram sim({"--listen", "127.0.0.1", "--port", "0", "--snmp", "--snmp-port", "0", "--snmp-missing", "serial"});
        ASSERT_NE(sim.port(), 0) << sim.first_line;  // answering SNMP on that port
        Host host;
        host.send(discovery_request(), sim.port());
        const Bytes a = host.receive(2000);
        EXPECT_TRUE(contains(a, {0x02, 0x01, 0x02, 0x02, 0x01, 0x04})) << "noSuchName at the serial";
    }
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--snmp", "--model", "OR-NONE"}, {"--snmp-missing", "colour"},
          {"--serial", "bad\\q"}, {"--sys-object-id", "1.3.x"}, {"--snmp-flood-from", ""}}) {
        std::vector<std::string> args = {"--listen", "127.0.0.1", "--port", "0"};
        args.insert(args.end(), bad.begin(), bad.end());
        SimProgram sim(args);
        EXPECT_EQ(sim.wait_exit(), 2) << bad[0];
    }
}

}  // namespace
