// Network discovery without a network: the 1284 value extraction, the
// duplicate rules, what an SNMP answer turns into and which datagrams the
// search looks at. Exchanges over sockets run in a private network namespace
// of a child process.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/io_clock.h"
#include "backend/net_search.h"
#include "common/orvela_config.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_agent.h"
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

// The receive loop's drop rules: only an error-free GetResponse from port
// 161 is looked at.
TEST(DiscoveryLoop, WhichDatagramsAreLookedAt) {
    using net_discovery::Verdict;
    const Bytes good = device_answer(DeviceAnswer{});
    DeviceAnswer error_answer;
    error_answer.error_status = 5;
    DeviceAnswer request_echo;
    request_echo.pdu = 0xA0;
    const Bytes bad_length = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00};
    sockaddr_in agent = sender("10.0.0.7");
    agent.sin_port = htons(161);
    sockaddr_in other_port = agent;
    other_port.sin_port = htons(4161);
    sockaddr_in not_ipv4 = agent;
    not_ipv4.sin_family = AF_UNSPEC;
    struct Case {
        const char* what;
        Bytes bytes;
        ssize_t size;
        sockaddr_in from;
        Verdict verdict;
    } cases[] = {
        {"answer", good, static_cast<ssize_t>(good.size()), agent, Verdict::Answer},
        {"zero-length", good, 0, agent, Verdict::Empty},
        {"receive error", good, -1, agent, Verdict::Empty},
        {"answer from another port", good, static_cast<ssize_t>(good.size()), other_port, Verdict::NotFromAgentPort},
        {"not IPv4", good, static_cast<ssize_t>(good.size()), not_ipv4, Verdict::NotFromAgentPort},
        {"cut short", good, 20, agent, Verdict::NotAnAnswer},
        {"lengths past the end", bad_length, static_cast<ssize_t>(bad_length.size()), agent, Verdict::NotAnAnswer},
        {"error status", device_answer(error_answer), 0, agent, Verdict::NotAnAnswer},
        {"a request", device_answer(request_echo), 0, agent, Verdict::NotAnAnswer},
    };
    for (Case& c : cases) {
        if (c.size == 0 && c.verdict != Verdict::Empty) c.size = static_cast<ssize_t>(c.bytes.size());
        EXPECT_EQ(net_discovery::judge_datagram(c.bytes.data(), c.size, c.from), c.verdict) << c.what;
    }
}

// Quiet time and deadline: answers put off the end until the deadline, three
// quiet times after sending ended.
TEST(DiscoveryLoop, QuietTimeAndDeadline) {
    net_discovery::CollectionTimes t;
    t.sending_end_ms = 2000;
    EXPECT_EQ(t.end(), 7000);      // nobody answers
    t.last_answer_ms = 1500;       // answered while the requests went out
    EXPECT_EQ(t.end(), 7000);
    t.last_answer_ms = 6000;
    EXPECT_EQ(t.end(), 11000);
    for (int64_t at = 2000; at < 30000; at += 4000) t.last_answer_ms = at;  // one every 4 s
    EXPECT_EQ(t.end(), 17000);
    t.quiet_ms = 1000;  // the deadline scales with the quiet time
    EXPECT_EQ(t.end(), 5000);
    t.quiet_ms = 30000;
    t.last_answer_ms = 2000;
    EXPECT_EQ(t.end(), 32000);
}

// The same device seen at two addresses is merged by a real serial number;
// a factory placeholder tells nothing.
TEST(DiscoveryLoop, MergeBySerialNeedsARealOne) {
    ORVELA_Scanner listed = {};
    strcpy(listed.brandName, "Orvela");
    strcpy(listed.modelName, "OR-M1020");
    struct Case {
        const char* listed_serial;
        const char* serial;
        const char* model;
        bool merged;
    } cases[] = {
        {"OR-0001", "OR-0001", "OR-M1020", true},
        {"OR-0001", "OR-0002", "OR-M1020", false},
        {"OR-0001", "OR-0001", "OR-P1400", false},
        {"", "", "OR-M1020", false},
        {"0000000000", "0000000000", "OR-M1020", false},
        {"          ", "          ", "OR-M1020", false},
        {"X", "X", "OR-M1020", false},
        {"0000000001", "0000000001", "OR-M1020", true},
    };
    for (const Case& c : cases) {
        strcpy(listed.serial, c.listed_serial);
        ORVELA_Scanner seen = listed;
        strcpy(seen.serial, c.serial);
        strcpy(seen.modelName, c.model);
        EXPECT_EQ(net_discovery::is_listed_elsewhere(seen, &listed, 1), c.merged) << '"' << c.serial << '"';
    }
    EXPECT_FALSE(net_discovery::is_listed_elsewhere(listed, nullptr, 0));
}

// --- over sockets, in a private network namespace with only loopback ---

// Runs the search of Net_FindScanner with these settings under a fast clock;
// the clock time it took through *ms.
int search_with(const orvela_config::Settings& settings, ORVELA_Scanner** list, int64_t* ms) {
    orvela_config::set_current(settings);
    const int64_t start = orvela_io::now_ms();
    const int n = Net_FindScanner(list);
    *ms = orvela_io::now_ms() - start;
    return n;
}

TEST(DiscoveryExchange, DirectProbeOfOneAddress) {
    const int rc = in_private_network([] {
        FastClock clock(20);
        LoopbackAgent agent({device_answer(DeviceAnswer{})});
        if (!agent.bound()) return 1;
        ORVELA_Scanner r;
        if (!net_discovery::probe_address("127.0.0.1", &r, 3)) return 2;
        if (strcmp(r.deviceURI, "socket://127.0.0.1") != 0) return 3;
        if (agent.seen() < 2) return 4;  // priming datagram and requests
        if (net_discovery::probe_address("not-an-address", &r, 1)) return 5;
        if (!net_discovery::probe_address("localhost", &r, 3) || strcmp(r.ipaddress, "127.0.0.1") != 0) return 6;
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

// Junk before the answer (an empty datagram, malformed BER, an error answer)
// is passed over; a valid answer from another port is no answer.
TEST(DiscoveryExchange, StrayDatagramsNeitherEndNorFeedTheSearch) {
    const int rc = in_private_network([] {
        FastClock clock(20);
        DeviceAnswer error_answer;
        error_answer.error_status = 2;
        const std::vector<Bytes> junk = {Bytes{}, Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
                                         device_answer(error_answer)};
        ORVELA_Scanner r;
        {
            std::vector<Bytes> replies = junk;
            replies.push_back(device_answer(DeviceAnswer{}));
            LoopbackAgent agent(replies);
            if (!agent.bound()) return 1;
            if (!net_discovery::probe_address("127.0.0.1", &r, 3)) return 2;
        }
        LoopbackAgent stray_only(junk, {device_answer(DeviceAnswer{})});
        if (!stray_only.bound()) return 3;
        if (net_discovery::probe_address("127.0.0.1", &r, 3)) return 4;
        if (stray_only.seen() < 3) return 5;  // asked again every second meanwhile
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

// orvela.conf's listed addresses: asked without the broadcast, the search
// ends as soon as all have answered; a name without an address is skipped.
TEST(DiscoveryExchange, ListedAddressesWithoutBroadcast) {
    const int rc = in_private_network([] {
        FastClock clock(20);
        LogCapture log;
        LoopbackAgent agent({device_answer(DeviceAnswer{})});
        if (!agent.bound()) return 1;
        orvela_config::Settings settings;
        settings.discovery_broadcast = false;
        settings.socket_addresses = {"no-such-host.invalid", "localhost", "127.0.0.1"};
        ORVELA_Scanner* list = nullptr;
        int64_t ms = 0;
        const int n = search_with(settings, &list, &ms);
        const bool found = n == 1 && list != nullptr && strcmp(list[0].deviceURI, "socket://127.0.0.1") == 0;
        free(list);
        if (!found) return 2;
        if (ms >= 1000) return 3;  // not the query's time-out
        if (log.contains("Local broadcast address")) return 4;
        // Nothing listed and no broadcast: nothing to wait for.
        settings.socket_addresses.clear();
        if (search_with(settings, &list, &ms) != 0 || list != nullptr || ms > 500) return 5;
        orvela_config::set_current({});
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

TEST(DiscoveryExchange, DeviceIdOfOneAddress) {
    const int rc = in_private_network([] {
        FastClock clock;
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
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

TEST(DiscoveryExchange, LoopbackOnlyHostFallsBackAndFindsNothing) {
    const int rc = in_private_network([] {
        FastClock clock(20);
        LogCapture log;
        ORVELA_Scanner* list = reinterpret_cast<ORVELA_Scanner*>(1);
        int64_t ms = 0;
        if (search_with(orvela_config::Settings{}, &list, &ms) != 0 || list != nullptr) return 1;
        // Only the fallback destination was tried, for one burst of four
        // pauses; nothing went out, so there was nothing to wait for.
        const std::string text = log.text();
        if (text.find("Local broadcast address: 255.255.255.255") == std::string::npos) return 2;
        if (text.find("Local broadcast address: 127.") != std::string::npos) return 3;
        if (ms < 2000 || ms > 2600) return 4;
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

}  // namespace
