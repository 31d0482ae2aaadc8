#include "backend/net_search.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backend/io_clock.h"
#include "backend/wire_trace.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"
#include "common/snmp_lite.h"

namespace net_discovery {
namespace {

// The four objects of the discovery request; answers are read by position.
const char* const kDiscoveryObjects[] = {
    "1.3.6.1.2.1.1.5.0",                 // sysName.0
    "1.3.6.1.2.1.1.2.0",                 // sysObjectID.0
    "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1",  // ppmPrinterIEEE1284DeviceId.1
    "1.3.6.1.2.1.43.5.1.1.17.1",         // prtGeneralSerialNumber.1
    nullptr,
};

constexpr int kRequestRepeats = 3;
constexpr int64_t kPauseMs = 500;
constexpr int64_t kResendMs = 1000;
constexpr size_t kDatagramSize = 2048;
constexpr uint8_t kPriming[2] = {0, 0};
// A listed address that has not answered SNMP this long after the first
// request is tried on the scan port.
constexpr int64_t kScanPortCheckAfterMs = 1000;

// The onlooker of one search, if any, and the search's start.
struct Onlooker {
    SearchObserver* observer = nullptr;
    int64_t start = 0;
    int64_t ms() const { return orvela_io::now_ms() - start; }
};

// The one send routine of discovery: one datagram to every destination, all
// at once; true when at least one went out.
bool send_to_each(int sock, const std::vector<sockaddr_in>& destinations, const uint8_t* bytes, size_t size,
                  bool is_request, const Onlooker& onlooker = {}) {
    bool sent = false;
    for (const sockaddr_in& to : destinations) {
        const bool ok =
            sendto(sock, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
        if (is_request) DBG_INFO(ok ? "IPv4 sendto success!\n" : "IPv4 sendto failed!\n");
        if (ok) wire_trace::snmp_sent(to, bytes, size);
        if (is_request && onlooker.observer != nullptr)
            onlooker.observer->request_sent(to.sin_addr, ok, onlooker.ms());
        sent = sent || ok;
    }
    return sent;
}

// The broadcast addresses of the host's broadcast-capable IPv4 interfaces,
// with the log lines of the interface walk.
std::vector<sockaddr_in> broadcast_destinations(SearchObserver* observer) {
    std::vector<sockaddr_in> destinations;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        DBG_INFO("getifaddrs error\n");
        return destinations;
    }
    for (ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        // An interface without an address (a tunnel, say) has nothing to
        // broadcast on; the ones after it still do.
        if (entry->ifa_addr == nullptr) continue;
        DBG_INFO("Try to get broadcast address!!\n");
        const int family = entry->ifa_addr->sa_family;
        if (family == AF_INET6) {
            DBG_INFO("this is IPv6 address!!\n");
            continue;
        }
        if (family != AF_INET) continue;
        char host[NI_MAXHOST];
        if ((entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr != nullptr &&
            entry->ifa_broadaddr->sa_family == AF_INET) {
            DBG_INFO("this is IPv4 address!!\n");
            if (getnameinfo(entry->ifa_broadaddr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
                continue;
            in_addr address;
            if (inet_pton(AF_INET, host, &address) != 1) continue;
            DBG_INFO("Local broadcast address: %s\n", host);
            if (observer != nullptr) {
                const auto ipv4 = [](const sockaddr* a) {
                    return a != nullptr && a->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(a)->sin_addr
                                                                   : in_addr{};
                };
                observer->interface_asked(entry->ifa_name, ipv4(entry->ifa_addr), ipv4(entry->ifa_netmask), address);
            }
            // Two interfaces of one subnet share a broadcast address: one
            // request reaches the subnet.
            const bool known = std::any_of(destinations.begin(), destinations.end(), [&](const sockaddr_in& d) {
                return d.sin_addr.s_addr == address.s_addr;
            });
            if (!known) destinations.push_back(agent_address(address));
        } else if (entry->ifa_flags & IFF_POINTOPOINT) {
            DBG_INFO("this is IPv4 address 2!!\n");
            if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
                DBG_INFO("Local address: %s\n", host);
        }
    }
    freeifaddrs(interfaces);
    return destinations;
}

// The broadcast: the priming datagram to every destination, then the request
// three times to every destination, 500 ms apart; it ends 500 ms after the
// last request.
class Burst {
public:
    void start(std::vector<sockaddr_in> destinations, int64_t now) {
        destinations_ = std::move(destinations);
        start_ = now;
        step_ = 0;
        sent_ = false;
    }
    void send_due(int sock, int64_t now, const uint8_t* request, size_t size, const Onlooker& onlooker) {
        for (; step_ <= kRequestRepeats && now >= next_send(); ++step_) {
            if (step_ == 0) {
                (void)send_priming(sock, destinations_);
            } else if (send_to_each(sock, destinations_, request, size, true, onlooker)) {
                sent_ = true;
            }
        }
    }
    int64_t next_send() const { return step_ <= kRequestRepeats ? start_ + step_ * kPauseMs : INT64_MAX; }
    int64_t end() const { return start_ + (kRequestRepeats + 1) * kPauseMs; }
    bool sent() const { return sent_; }

private:
    std::vector<sockaddr_in> destinations_;
    int64_t start_ = 0;
    int step_ = 0;
    bool sent_ = false;
};

// An address asked directly.
struct ListedTarget {
    sockaddr_in to{};
    int64_t next_send = 0;
    int64_t give_up = 0;
    bool primed = false;
    bool answered = false;
    std::string name;             // as listed
    int model_row = -1;           // the model listed with it, or -1
    bool port_tried = false;
    orvela_net::Socket port_check;  // a connect to the scan port under way
    bool port_answers = false;

    bool waiting(int64_t now) const { return !answered && now < give_up; }
};

std::vector<ListedTarget> listed_targets(const SearchPlan& plan) {
    std::vector<ListedTarget> targets;
    for (const std::string& name : plan.listed) {
        in_addr address;
        if (!resolve_ipv4(name, &address)) {
            if (plan.observer != nullptr) plan.observer->listed_asked(name, nullptr);
            continue;
        }
        const auto model = plan.listed_models.find(name);
        const int row = model == plan.listed_models.end() ? -1 : FindModelByName(model->second.c_str());
        const auto known = std::find_if(targets.begin(), targets.end(), [&](const ListedTarget& t) {
            return t.to.sin_addr.s_addr == address.s_addr;
        });
        if (known != targets.end()) {
            if (known->model_row < 0) known->model_row = row;
            continue;
        }
        DBG_INFO("remote address: %s\n", name.c_str());
        if (plan.observer != nullptr) plan.observer->listed_asked(name, &address);
        ListedTarget target;
        target.to = agent_address(address);
        target.name = name;
        target.model_row = row;
        targets.push_back(std::move(target));
    }
    return targets;
}

// Starts a non-blocking connect to the scan port of `target`.
void start_port_check(ListedTarget& target, int port) {
    target.port_tried = true;
    orvela_net::Socket sock = orvela_net::Socket::open_ipv4(SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
    if (!sock.is_open()) return;
    sockaddr_in to = target.to;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        target.port_answers = true;
    } else if (errno == EINPROGRESS) {
        target.port_check = std::move(sock);
    }
}

// Looks, without waiting, whether the connect has ended; the connection goes
// as soon as it has.
void finish_port_check(ListedTarget& target) {
    if (!target.port_check.is_open()) return;
    pollfd p{target.port_check.get(), POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) return;
    int error = 0;
    socklen_t size = sizeof error;
    target.port_answers = getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    target.port_check.reset();
}

// The devices kept, in the order of their first answer.
class DeviceList {
public:
    ~DeviceList() { free(devices_); }
    bool full() const { return count_ >= kMostDevices; }
    void offer(const ORVELA_Scanner& record) {
        if (full() || ExistDevice(record, devices_, count_) || is_listed_elsewhere(record, devices_, count_)) return;
        auto* grown = static_cast<ORVELA_Scanner*>(realloc(devices_, sizeof(ORVELA_Scanner) * (count_ + 1)));
        if (grown == nullptr) {
            DBG_INFO("No memory for another network device\n");
            return;  // the devices found so far stay
        }
        devices_ = grown;
        devices_[count_++] = record;
    }
    int hand_over(ORVELA_Scanner** out) {
        *out = devices_;
        devices_ = nullptr;
        return count_;
    }

private:
    ORVELA_Scanner* devices_ = nullptr;
    int count_ = 0;
};

}  // namespace

sockaddr_in agent_address(in_addr address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kSnmpPort);
    a.sin_addr = address;
    return a;
}

bool send_priming(int sock, const std::vector<sockaddr_in>& destinations) {
    return send_to_each(sock, destinations, kPriming, sizeof kPriming, false);
}

bool send_request(int sock, const std::vector<sockaddr_in>& destinations, const uint8_t* request, size_t size) {
    return send_to_each(sock, destinations, request, size, true);
}

Verdict judge_datagram(const uint8_t* data, ssize_t size, const sockaddr_in& sender) {
    if (size <= 0) return Verdict::Empty;
    if (sender.sin_family != AF_INET || ntohs(sender.sin_port) != kSnmpPort) return Verdict::NotFromAgentPort;
    if (SNMPResponseType(data, static_cast<int>(size), 0, nullptr, nullptr, 0) == -1) return Verdict::NotAnAnswer;
    return Verdict::Answer;
}

const char* verdict_text(Verdict verdict) {
    switch (verdict) {
    case Verdict::Answer: return "an answer";
    case Verdict::Empty: return "empty";
    case Verdict::NotFromAgentPort: return "not from port 161";
    case Verdict::NotAnAnswer: return "not an error-free GetResponse";
    }
    return "";
}

bool resolve_ipv4(const std::string& name, in_addr* address) {
    if (inet_pton(AF_INET, name.c_str(), address) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        DBG_WARN("%s has no IPv4 address (%s); not asked\n", name.c_str(), rc != 0 ? gai_strerror(rc) : "none");
        return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

int run_search(const SearchPlan& plan, ORVELA_Scanner** found) {
    uint8_t request[1024];
    const INT32 request_length = SNMPBuildGetRequestMulti(request, kDiscoveryObjects, 0, sizeof request);
    const size_t request_size = request_length > 0 ? static_cast<size_t>(request_length) : 0;
    *found = nullptr;
    DBG_INFO("run into find network \n");
    const wire_trace::SearchTrace trace;

    UdpSocket sock;
    const int one = 1;
    if (sock.fd() < 0) DBG_INFO("IPv4 socket create failed!\n");
    if (setsockopt(sock.fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) DBG_INFO("IPv4 setsockopt failed\n");

    // Host names are resolved before the clock starts: a slow name service
    // must not eat the listed addresses' time.
    std::vector<ListedTarget> listed = listed_targets(plan);
    const int64_t start = orvela_io::now_ms();
    const Onlooker onlooker{plan.observer, start};
    for (ListedTarget& target : listed) {
        target.next_send = start;
        target.give_up = start + int64_t{plan.listed_seconds} * 1000;
    }

    // The broadcast goes to the interfaces' broadcast addresses; when there
    // are none, or no request could be sent to any of them, to the limited
    // broadcast address.
    bool broadcasting = plan.broadcast;
    bool fallback = false;
    Burst burst;
    CollectionTimes times;
    times.quiet_ms = int64_t{plan.quiet_seconds} * 1000;
    bool collecting = false;
    if (broadcasting) {
        std::vector<sockaddr_in> destinations = broadcast_destinations(plan.observer);
        if (destinations.empty()) {
            DBG_INFO("Local broadcast address: %s\n", "255.255.255.255");
            if (plan.observer != nullptr) plan.observer->limited_broadcast_asked();
            destinations.push_back(agent_address(in_addr{INADDR_BROADCAST}));
            fallback = true;
        }
        burst.start(std::move(destinations), start);
    }

    DeviceList devices;
    uint8_t datagram[kDatagramSize];
    for (;;) {
        int64_t now = orvela_io::now_ms();
        if (broadcasting && !collecting) {
            if (request_size > 0) burst.send_due(sock.fd(), now, request, request_size, onlooker);
            if (now >= burst.end()) {
                if (burst.sent()) {
                    collecting = true;
                    times.sending_end_ms = burst.end();
                } else if (!fallback) {
                    DBG_INFO("Local broadcast address: %s\n", "255.255.255.255");
                    if (plan.observer != nullptr) plan.observer->limited_broadcast_asked();
                    burst.start({agent_address(in_addr{INADDR_BROADCAST})}, now);
                    fallback = true;
                    continue;
                } else {
                    broadcasting = false;  // nothing went out: no answer to wait for
                }
            }
        }
        if (broadcasting && collecting && now >= times.end()) {
            if (times.quiet_end() > times.deadline())
                DBG_INFO("Search deadline reached\n");
            else
                DBG_INFO("recv failed!!!,error==%s\n", strerror(EAGAIN));
            broadcasting = false;
        }
        for (ListedTarget& target : listed) {
            if (!target.waiting(now) || now < target.next_send) continue;
            const std::vector<sockaddr_in> to{target.to};
            if (!target.primed) (void)send_priming(sock.fd(), to);
            target.primed = true;
            if (request_size > 0) (void)send_to_each(sock.fd(), to, request, request_size, true, onlooker);
            // Again every second: one lost datagram must not cost the whole wait.
            target.next_send = now + kResendMs;
        }

        for (ListedTarget& target : listed) {
            if (plan.check_scan_port && target.model_row < 0 && !target.port_tried && target.waiting(now) &&
                now - start >= kScanPortCheckAfterMs)
                start_port_check(target, plan.scan_port);
            finish_port_check(target);
        }

        // The next thing to do other than reading: a send, a resend or the
        // give-up of a listed address. The end of collection moves with the
        // answers, so it is looked at afresh.
        int64_t next_step = INT64_MAX;
        if (broadcasting && !collecting) next_step = std::min(burst.next_send(), burst.end());
        for (const ListedTarget& target : listed) {
            if (target.waiting(now)) next_step = std::min({next_step, target.next_send, target.give_up});
        }
        const auto wake = [&] { return std::min(next_step, broadcasting && collecting ? times.end() : INT64_MAX); };
        if (wake() == INT64_MAX || devices.full()) break;
        if (!orvela_io::wait_readable(sock.fd(), wake() - now)) continue;

        // Everything queued is read until something else is due: a flood of
        // other datagrams delays an answer but cannot hide it, and only
        // answers put off the end of the search.
        for (;;) {
            sockaddr_in sender{};
            socklen_t sender_size = sizeof sender;
            const ssize_t n = recvfrom(sock.fd(), datagram, sizeof datagram, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &sender_size);
            if (n < 0) break;  // nothing more queued (or an error, reported once and gone)
            now = orvela_io::now_ms();
            DBG_INFO("read size=%d\n", static_cast<int>(n));
            wire_trace::snmp_received(sender, datagram, static_cast<size_t>(n));
            const Verdict verdict = judge_datagram(datagram, n, sender);
            if (verdict != Verdict::Answer) {
                DBG_INFO("Datagram dropped: %s\n", verdict_text(verdict));
                if (plan.observer != nullptr) plan.observer->datagram_judged(sender, verdict, false, now - start);
            } else {
                auto target = std::find_if(listed.begin(), listed.end(), [&](const ListedTarget& t) {
                    return t.to.sin_addr.s_addr == sender.sin_addr.s_addr;
                });
                if (target != listed.end()) target->answered = true;
                // Without the broadcast only the asked addresses may answer.
                bool supported = false;
                if (plan.broadcast || target != listed.end()) {
                    times.last_answer_ms = now;
                    ORVELA_Scanner record;
                    supported = answer_to_record(datagram, static_cast<int>(n), sender, &record);
                    if (supported) devices.offer(record);
                }
                if (plan.observer != nullptr) plan.observer->datagram_judged(sender, verdict, supported, now - start);
            }
            if (devices.full() || now >= wake()) break;
        }
    }
    for (ListedTarget& target : listed) {
        finish_port_check(target);
        if (target.port_answers && plan.observer != nullptr)
            plan.observer->scan_port_answers(target.name, target.answered);
        if (!target.answered && target.port_answers)
            DBG_WARN("socket://%s answers on the scan port but not to SNMP: add its model to the line in orvela.conf "
                     "(socket://%s MODEL)\n",
                     target.name.c_str(), target.name.c_str());
        // Listed with its model: listed as that model unless it answered.
        if (target.model_row >= 0) {
            ORVELA_Scanner record;
            model_record(target.to.sin_addr, target.model_row, &record);
            devices.offer(record);
        }
    }
    return devices.hand_over(found);
}

}  // namespace net_discovery
