// One network device search: the discovery request broadcast to every
// broadcast-capable IPv4 interface at once, the same request sent directly to
// listed addresses alongside it, and one receive loop that collects the
// answers of both under rules that no stray datagram can upset.
//
// Timing of the broadcast (all destinations together, whatever their number):
//   0 ms     priming datagram to every destination
//   500 ms   request 1 to every destination, then 2 and 3 at 1000 and 1500 ms
//   2000 ms  sending ends; answers are collected until the quiet time has
//            passed without an answer, or at the deadline, 3 x the quiet time
//            after sending ended (15 s with the default 5 s), whichever comes
//            first.
// A listed address gets the priming datagram and the request at once, and the
// request again every second until it answers or its time is up. One listed
// with its model that gave no answer the search could use is listed as that
// model all the same. One listed without a model that has not answered after
// a second is also tried on the scan port (a non-blocking connect, checked
// while the search waits anyway): when the port answers but SNMP never does,
// a warning names the address and tells the user to add the model.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "backend/net_discovery.h"
#include "backend/owned_socket.h"

namespace net_discovery {

constexpr int kListedQuerySeconds = 5;   // a listed address's time to answer, as at open
constexpr int kDeadlineQuietMultiple = 3;
// Devices kept by one search: bounds memory and the frontend's list. The
// work is bounded by the deadline; a cap on datagrams would let foreign ones
// crowd out an answer, and a cap per sender would not hold against many.
constexpr int kMostDevices = 512;

// A discovery exchange's own datagram socket; fd() is -1 when none could be made.
class UdpSocket : public orvela_net::Socket {
public:
    UdpSocket() : Socket(open_ipv4(SOCK_DGRAM, IPPROTO_UDP)) {}
    int fd() const { return get(); }
};

// What the receive loop does with one datagram: only an error-free SNMPv1
// GetResponse from port 161 is looked at; everything else is dropped and the
// loop goes on.
enum class Verdict { Answer, Empty, NotFromAgentPort, NotAnAnswer };

// What a search lets an onlooker see (orvela-discover tells the user from it
// what was asked and what came back): each destination as it is chosen, each
// request as it goes out, each datagram as it is judged. The search sends,
// logs and decides the same with or without one. Times are milliseconds since
// the search started.
class SearchObserver {
public:
    virtual ~SearchObserver() = default;
    // An interface whose broadcast address the search asks (every such
    // interface, also a second one on a subnet already asked).
    virtual void interface_asked(const char* /*name*/, in_addr /*address*/, in_addr /*netmask*/,
                                 in_addr /*broadcast*/) {}
    // No interface had an IPv4 broadcast address, or none could be sent to:
    // the limited broadcast address is asked instead.
    virtual void limited_broadcast_asked() {}
    // A listed name as resolved; null when it has no IPv4 address.
    virtual void listed_asked(const std::string& /*name*/, const in_addr* /*address*/) {}
    virtual void request_sent(in_addr /*to*/, bool /*ok*/, int64_t /*ms*/) {}
    // `supported`: an answer that names one of the maker's scanners.
    virtual void datagram_judged(const sockaddr_in& /*sender*/, Verdict /*verdict*/, bool /*supported*/,
                                 int64_t /*ms*/) {}
    // A listed address without a model that answers on the scan port.
    virtual void scan_port_answers(const std::string& /*name*/, bool /*snmp_answered*/) {}
};

struct SearchPlan {
    bool broadcast = true;
    int quiet_seconds = 5;
    std::vector<std::string> listed;  // IPv4 addresses or host names, asked directly
    int listed_seconds = kListedQuerySeconds;
    std::map<std::string, std::string> listed_models;  // model table names by listed name
    bool check_scan_port = false;  // try the scan port of listed addresses without a model
    int scan_port = kScannerDataPort;
    SearchObserver* observer = nullptr;  // optional, not owned
};

// The search that sane_get_devices runs: the settings of orvela.conf.
SearchPlan configured_plan();

Verdict judge_datagram(const uint8_t* data, ssize_t size, const sockaddr_in& sender);
const char* verdict_text(Verdict verdict);

// When the collection of answers ends: the quiet time after the later of the
// end of sending and the last answer, but never after the deadline.
struct CollectionTimes {
    int64_t sending_end_ms = 0;
    int64_t quiet_ms = 5000;
    int64_t last_answer_ms = INT64_MIN;

    int64_t deadline() const { return sending_end_ms + kDeadlineQuietMultiple * quiet_ms; }
    int64_t quiet_end() const {
        return (last_answer_ms > sending_end_ms ? last_answer_ms : sending_end_ms) + quiet_ms;
    }
    int64_t end() const { return quiet_end() < deadline() ? quiet_end() : deadline(); }
};

// The SNMP agent port (161) of an IPv4 address.
sockaddr_in agent_address(in_addr address);

// The sends of discovery, each to every destination at once; true when at
// least one datagram went out. The priming datagram (two zero bytes, which
// only wake sleeping links) goes before the first request to a destination
// and is not logged; each request is logged once per destination as sent or
// failed.
bool send_priming(int sock, const std::vector<sockaddr_in>& destinations);
bool send_request(int sock, const std::vector<sockaddr_in>& destinations, const uint8_t* request, size_t size);

// The IPv4 address of an address or host name (resolved now); false, logged,
// when it has none.
bool resolve_ipv4(const std::string& name, in_addr* address);

// Runs one search; stores the devices found (malloc'ed, null when none)
// through `found` and returns their count.
int run_search(const SearchPlan& plan, ORVELA_Scanner** found);

}  // namespace net_discovery
