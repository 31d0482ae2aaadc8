// The network half of orvela-discover: watches the backend's own device
// search (net_search) and tells the user what it found, in lines ready for
// orvela.conf, and, when nothing answered, what was asked where and what came
// back, with the likely causes.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "backend/net_search.h"
#include "common/orvela_types.h"

namespace orvela_discover {

class NetOnlooker : public net_discovery::SearchObserver {
public:
    void interface_asked(const char* name, in_addr address, in_addr netmask, in_addr broadcast) override;
    void limited_broadcast_asked() override;
    void listed_asked(const std::string& name, const in_addr* address) override;
    void request_sent(in_addr to, bool ok, int64_t ms) override;
    void datagram_judged(const sockaddr_in& sender, net_discovery::Verdict verdict, bool supported,
                         int64_t ms) override;
    void scan_port_answers(const std::string& name, bool snmp_answered) override;

    // One block per scanner found: a comment naming it, then its line for
    // orvela.conf; then the listed addresses that gave no usable answer.
    void print_found(FILE* out, const ORVELA_Scanner* devices, int count) const;
    // The listed addresses that answer on the scan port but not to SNMP, each
    // with the hint to add its model.
    void print_silent(FILE* out) const;
    // What was sent to each destination and what came back, and the likely
    // causes of the silence.
    void print_nothing_answered(FILE* out, bool broadcast) const;

private:
    struct Destination {
        std::string what;  // "interface br1" or "listed address socket://..."
        in_addr to{};      // where the requests went
        in_addr netmask{}; // an interface's; 0 for a listed address (one sender only)
        bool asked = true; // false: a listed name without an IPv4 address
        bool any_sender = false;  // the limited broadcast: any answer may be to it
    };
    struct Sent {
        in_addr to{};
        int ok = 0;
        int failed = 0;
        int64_t first_ms = -1;
    };
    struct Datagram {
        sockaddr_in sender{};
        net_discovery::Verdict verdict;
        bool supported;
        int64_t ms;
    };
    struct PortAnswer {
        std::string name;
        bool snmp_answered;
    };

    const Sent* sent_to(in_addr to) const;
    // The destination whose request `sender` answered: a listed address
    // first, else the interface of its subnet; null when none fits.
    const Destination* destination_of(in_addr sender) const;
    std::string came_back(const Destination& d) const;

    std::vector<Destination> destinations_;
    std::vector<Sent> sent_;
    std::vector<Datagram> datagrams_;
    std::vector<PortAnswer> port_answers_;
    bool limited_broadcast_ = false;
};

}  // namespace orvela_discover
