// Network discovery without a network: the 1284 value extraction, the
// duplicate rules, what an SNMP answer turns into and which datagrams the
// search looks at. Exchanges over sockets
// run in a private network namespace of a child process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "backend/io_clock.h"
#include "backend/net_search.h"
#include "backend/wire_trace.h"
#include "common/orvela_config.h"
#include "tests/support/io_hooks.h"
#include "tests/support/namespaces.h"
#include "tests/support/process.h"
#include "tests/support/snmp_answer.h"

namespace {

std::string value_of(const char* id, const char* key) {
    char* v = GetValueFrom1284DeviceID(id, key);
    if (v == nullptr) return "<none>";
    std::string s = v;
    free(v);
    return s;
}

TEST(DeviceIdValues, PairsAndTheirEdges) {
    const char* id = "MFG:Orvela;MDL:OR-M1020;CMD:PCL,PWG;EMPTY:;LAST:tail";
    EXPECT_EQ(value_of(id, "MFG"), "Orvela");
    EXPECT_EQ(value_of(id, "MDL"), "OR-M1020");
    EXPECT_EQ(value_of(id, "EMPTY"), "");          // present but empty: not null
    EXPECT_EQ(value_of(id, "LAST"), "tail");       // no closing semicolon
    EXPECT_EQ(value_of(id, "MODEL"), "<none>");
    EXPECT_EQ(value_of("XMFG:inner;", "MFG"), "inner");  // found inside a longer key, as a plain search
    EXPECT_EQ(value_of(nullptr, "MFG"), "<none>");

    // A value longer than the 511-character window is cut, never overrun.
    const std::string long_id = "MDL:" + std::string(2000, 'x') + ";";
    const std::string v = value_of(long_id.c_str(), "MDL");
    EXPECT_EQ(v, std::string(507, 'x'));
    // A key longer than the search buffer is cut to its first 62 characters.
    const std::string long_key(100, 'K');
    EXPECT_EQ(value_of(("X" + long_key.substr(0, 62) + ":v;").c_str(), long_key.c_str()), "v");
}

TEST(DeviceIdValues, ExistDeviceComparesAddresses) {
    ORVELA_Scanner list[2] = {};
    strcpy(list[0].ipaddress, "10.0.0.5");
    strcpy(list[1].ipaddress, "10.0.0.6");
    ORVELA_Scanner probe = {};
    strcpy(probe.ipaddress, "10.0.0.6");
    EXPECT_TRUE(ExistDevice(probe, list, 2));
    EXPECT_FALSE(ExistDevice(probe, list, 1));
    EXPECT_FALSE(ExistDevice(probe, nullptr, 0));
}

// The same device seen at two addresses is merged by a real serial number
// (and the same names); a factory placeholder tells nothing.
TEST(DeviceIdValues, MergeBySerialNeedsARealOne) {
    const char* cases[][4] = {  // listed serial, seen serial, seen model, merged
        {"OR-0001", "OR-0001", "OR-M1020", "yes"},        {"OR-0001", "OR-0002", "OR-M1020", "no"},
        {"OR-0001", "OR-0001", "OR-P1400", "no"},         {"", "", "OR-M1020", "no"},
        {"0000000000", "0000000000", "OR-M1020", "no"},   {"          ", "          ", "OR-M1020", "no"},
        {"X", "X", "OR-M1020", "no"},                     {"0000000001", "0000000001", "OR-M1020", "yes"},
    };
    for (const auto& c : cases) {
        ORVELA_Scanner listed = {};
        strcpy(listed.brandName, "Orvela");
        strcpy(listed.modelName, "OR-M1020");
        strcpy(listed.serial, c[0]);
        ORVELA_Scanner seen = listed;
        strcpy(seen.serial, c[1]);
        strcpy(seen.modelName, c[2]);
        EXPECT_EQ(net_discovery::is_listed_elsewhere(seen, &listed, 1), strcmp(c[3], "yes") == 0) << '"' << c[1] << '"';
    }
}

sockaddr_in sender(const char* address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

bool accept(const DeviceAnswer& answer, ORVELA_Scanner* record, const char* from = "10.231.1.20") {
    const Bytes msg = device_answer(answer);
    return net_discovery::answer_to_record(msg.data(), static_cast<int>(msg.size()), sender(from), record);
}

TEST(DiscoveryAnswer, ModelRowGivesTheRecord) {
    ORVELA_Scanner r;
    DeviceAnswer a;
    a.object_id = "1.3.6.1.4.1.93501.1.104";  // a feeder model with its right-rear reference
    ASSERT_TRUE(accept(a, &r));
    EXPECT_STREQ(r.brandName, "Orvela");
    EXPECT_STREQ(r.modelName, "OR-M1020");
    EXPECT_STREQ(r.deviceURI, "socket://10.231.1.20");
    EXPECT_STREQ(r.ipaddress, "10.231.1.20");
    EXPECT_STREQ(r.serial, "SN0001");
    EXPECT_EQ(r.type_io, IOTYPE_NET);
    EXPECT_EQ(r.port, 53010);
    EXPECT_TRUE(r.isSupportADF);
    EXPECT_TRUE(r.isRightRearBP);
    EXPECT_EQ(r.vendor_id, 0);
    EXPECT_EQ(r.next, nullptr);
}

TEST(DiscoveryAnswer, NamesFromTheDeviceId) {
    ORVELA_Scanner r;
    DeviceAnswer a;
    a.device_id = "MFG:Orvela;MODEL:OR-X;";
    ASSERT_TRUE(accept(a, &r));
    EXPECT_STREQ(r.brandName, "Orvela");
    EXPECT_STREQ(r.modelName, "OR-X");

    a.device_id = "MDL:OR-Y;";  // no maker: empty brand, sysName as model
    ASSERT_TRUE(accept(a, &r));
    EXPECT_STREQ(r.brandName, "");
    EXPECT_STREQ(r.modelName, "scanner-1");

    a.device_id = "MFG:Orvela;MDL:line1\nline2\t;";  // control characters never reach a listing
    ASSERT_TRUE(accept(a, &r));
    EXPECT_STREQ(r.modelName, "line1?line2?");

    a.device_id = "MFG:" + std::string(80, 'M') + ";MDL:" + std::string(80, 'D') + ";";
    a.serial = std::string(200, 'S');
    ASSERT_TRUE(accept(a, &r));  // long texts are cut to their fields, terminated
    EXPECT_EQ(strlen(r.brandName), 31u);
    EXPECT_EQ(strlen(r.modelName), 31u);
    EXPECT_EQ(strlen(r.serial), 31u);
}

TEST(DiscoveryAnswer, WhichObjectIdentifiersAreAccepted) {
    ORVELA_Scanner r;
    DeviceAnswer a;
    a.object_id = "1.3.6.1.4.1.2021.250.10";  // the imaging line's prefix, no row
    ASSERT_TRUE(accept(a, &r));
    EXPECT_FALSE(r.isSupportADF);
    a.object_id = "1.3.6.1.4.1.93501.7.7";  // the maker's prefix, no row
    EXPECT_TRUE(accept(a, &r));
    a.object_id = "1.3.6.1.4.1.93501";  // a leading part of a row's identifier
    EXPECT_TRUE(accept(a, &r));
    a.object_id = "1.3.6.1.4.1.8072.3.2.10";  // a stock agent
    EXPECT_FALSE(accept(a, &r));
    a.object_id = "1.3.6.1.4.1.93501.1.101.5";  // a row's identifier extended... still under the prefix
    EXPECT_TRUE(accept(a, &r));
    a.object_id = "1.3.6.1.4.1.96122.3.201.5";  // a partner row extended: no row, no prefix
    EXPECT_FALSE(accept(a, &r));
}

TEST(DiscoveryAnswer, RefusedAnswers) {
    ORVELA_Scanner r;
    DeviceAnswer a;
    a.error_status = 2;  // noSuchName
    EXPECT_FALSE(accept(a, &r));
    for (int missing = 0; missing < 4; ++missing) {
        DeviceAnswer b;
        if (missing == 0) b.sys_name.reset();
        if (missing == 1) b.object_id.reset();
        if (missing == 2) b.device_id.reset();
        if (missing == 3) b.serial.reset();
        EXPECT_FALSE(accept(b, &r)) << missing;
    }
    DeviceAnswer request_echo;
    request_echo.pdu = 0xA0;
    EXPECT_FALSE(accept(request_echo, &r));
    const Bytes full = device_answer(DeviceAnswer{});
    for (size_t cut = 0; cut < full.size(); ++cut)
        EXPECT_FALSE(net_discovery::answer_to_record(full.data(), static_cast<int>(cut), sender("10.0.0.1"), &r)) << cut;
}

// The search looks only at an error-free GetResponse from port 161; anything
// else is dropped and the search goes on.
TEST(DiscoveryAnswer, WhichDatagramsTheSearchLooksAt) {
    using net_discovery::Verdict;
    DeviceAnswer error_answer, request_echo;
    error_answer.error_status = 5;
    request_echo.pdu = 0xA0;
    sockaddr_in agent = sender("10.0.0.7"), other_port = agent, not_ipv4 = agent;
    agent.sin_port = htons(161);
    other_port.sin_port = htons(4161);
    not_ipv4.sin_family = AF_UNSPEC;
    const Bytes good = device_answer(DeviceAnswer{});
    const struct {
        Bytes bytes;
        ssize_t size;  // -1: the whole datagram; -2: a failed receive
        sockaddr_in from;
        Verdict verdict;
    } cases[] = {
        {good, -1, agent, Verdict::Answer},
        {good, 0, agent, Verdict::Empty},
        {good, -2, agent, Verdict::Empty},
        {good, -1, other_port, Verdict::NotFromAgentPort},
        {good, -1, not_ipv4, Verdict::NotFromAgentPort},
        {good, 20, agent, Verdict::NotAnAnswer},
        {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00}, -1, agent, Verdict::NotAnAnswer},
        {device_answer(error_answer), -1, agent, Verdict::NotAnAnswer},
        {device_answer(request_echo), -1, agent, Verdict::NotAnAnswer},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const ssize_t size = c.size == -1 ? static_cast<ssize_t>(c.bytes.size()) : c.size == -2 ? -1 : c.size;
        EXPECT_EQ(net_discovery::judge_datagram(c.bytes.data(), size, c.from), c.verdict) << i;
    }
}

// --- over sockets, in a private network namespace with only loopback ---

// An agent on port 161 of `address` (127.0.0.1 unless given) that answers
// every request with `replies` in order, and with `stray` from another port,
// and counts the datagrams it saw.
class LoopbackAgent {
public:
    explicit LoopbackAgent(std::vector<Bytes> replies, Bytes stray = {}, const char* address = "127.0.0.1")
        : replies_(std::move(replies)), stray_(std::move(stray)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = sender(address);
        a.sin_port = htons(161);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackAgent() {
        stop_ = true;
        thread_.join();
        close(fd_);
        close(stray_fd_);
    }
    bool bound() const { return bound_; }
    int seen() const { return seen_; }

private:
    void serve() {
        uint8_t buf[2048];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n <= 0) continue;
            ++seen_;
            if (n <= 2) continue;
            const auto* to = reinterpret_cast<sockaddr*>(&from);
            if (!stray_.empty()) sendto(stray_fd_, stray_.data(), stray_.size(), 0, to, size);
            for (const Bytes& b : replies_) sendto(fd_, b.data(), b.size(), 0, to, size);
        }
    }
    std::vector<Bytes> replies_;
    Bytes stray_;
    int stray_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // sends from a port of its own
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> seen_{0};
    std::thread thread_;
};

TEST(DiscoveryExchange, DirectProbeOfOneAddress) {
    expect_in_private_network([] {
        TestClock clock;
        DeviceAnswer error_answer;
        error_answer.error_status = 2;
        // Passed over before the answer: empty, malformed BER, an error answer.
        const std::vector<Bytes> junk = {{}, {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, device_answer(error_answer)};
        std::vector<Bytes> replies = junk;
        replies.push_back(device_answer(DeviceAnswer{}));
        ORVELA_Scanner r;
        TempDir dir;
        const std::string trace = dir.file("search.trace");
        if (!wire_trace::trace_searches_to(trace.c_str(), nullptr)) return 10;
        {
            LoopbackAgent agent(replies);
            if (!agent.bound()) return 1;
            if (!net_discovery::probe_address("127.0.0.1", &r, 3)) return 2;
            // The search's datagrams both ways, each search a part of the file.
            wire_trace::stop_search_trace();
            const std::string text = read_file(trace);
            if (text.rfind("orvela-trace 1 test_net_discovery pid ", 0) != 0) return 11;
            if (text.find("# device search ") == std::string::npos) return 12;
            if (text.find(" > snmp 127.0.0.1:161 0000\n") == std::string::npos) return 13;
            const Bytes answer = device_answer(DeviceAnswer{});
            std::string line = " < snmp 127.0.0.1:161 ";
            char two[3];
            for (size_t i = 0; i < answer.size() && i < 64; ++i) {
                snprintf(two, sizeof two, "%02x", answer[i]);
                line += two;
            }
            if (text.find(line) == std::string::npos) return 14;
            if (strcmp(r.deviceURI, "socket://127.0.0.1") != 0) return 3;
            if (agent.seen() < 2) return 4;  // priming datagram and requests
            if (net_discovery::probe_address("not-an-address", &r, 1)) return 5;
            if (!net_discovery::probe_address("localhost", &r, 3) || strcmp(r.ipaddress, "127.0.0.1") != 0) return 6;
        }
        // Junk from port 161, a valid answer from another port: no device;
        // the request went out again every second meanwhile.
        LoopbackAgent stray(junk, device_answer(DeviceAnswer{}));
        if (net_discovery::probe_address("127.0.0.1", &r, 3) || stray.seen() < 3) return 7;
        return 0;
    });
}

TEST(DiscoveryExchange, DeviceIdOfOneAddress) {
    expect_in_private_network([] {
        TestClock clock;
        LoopbackAgent agent({single_answer("1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "MFG:Orvela;MDL:OR-M1020;")});
        if (!agent.bound()) return 1;
        char id[16];
        if (!getSNMP1284DeviceId("127.0.0.1", id, sizeof id)) return 2;
        if (strcmp(id, "MFG:Orvela;MDL:") != 0) return 3;  // cut to the buffer, terminated
        char whole[128];
        if (!getSNMP1284DeviceId("127.0.0.1", whole, sizeof whole)) return 4;
        if (strcmp(whole, "MFG:Orvela;MDL:OR-M1020;") != 0) return 5;
        return 0;
    });
}

TEST(DiscoveryExchange, LoopbackOnlyHostFallsBackAndFindsNothing) {
    expect_in_private_network([] {
        TestClock clock;
        orvela_config::set_current({});
        ORVELA_Scanner* list = reinterpret_cast<ORVELA_Scanner*>(1);
        {
            // No interface can broadcast, and nothing can reach the limited
            // broadcast address: one burst (2 s), nothing sent, so nothing to
            // wait for; loopback is never asked.
            LoopbackAgent loopback({});
            int n = -1;
            const int64_t took = TestClock::elapsed_ms([&] { n = Net_FindScanner(&list); });
            if (n != 0 || list != nullptr) return 1;
            if (took < 2000 || took > 2600 || loopback.seen() != 0) return 2;
        }
        // Given a route for it, the burst goes to the limited broadcast
        // address: the priming datagram and three requests, loopback nothing.
        if (run_process({"/usr/sbin/ip", "route", "add", "broadcast", "255.255.255.255", "dev", "lo", "table",
                         "local"}).exit_code != 0)
            return 3;
        LoopbackAgent loopback({});
        LoopbackAgent broadcast({}, {}, "255.255.255.255");
        if (Net_FindScanner(&list) != 0 || list != nullptr) return 4;
        if (broadcast.seen() != 4 || loopback.seen() != 0) return 5;
        return 0;
    });
}

}  // namespace
