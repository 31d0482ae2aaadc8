#include "tools/discover/net_report.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>


namespace orvela_discover {
namespace {

using net_discovery::Verdict;

std::string dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool same(in_addr a, in_addr b) { return a.s_addr == b.s_addr; }

std::string plural(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void NetOnlooker::interface_asked(const char* name, in_addr address, in_addr netmask, in_addr broadcast) {
    destinations_.push_back({"interface " + std::string(name) + " (" + dotted(address) + ", broadcast " +
                                 dotted(broadcast) + ")",
                             broadcast, netmask, true, false});
}

void NetOnlooker::limited_broadcast_asked() {
    limited_broadcast_ = true;
    destinations_.push_back({"255.255.255.255 (no interface to broadcast on)", in_addr{htonl(INADDR_BROADCAST)}, {},
                             true, true});
}

void NetOnlooker::listed_asked(const std::string& name, const in_addr* address) {
    Destination d{"listed address socket://" + name, {}, {}, address != nullptr, false};
    if (address != nullptr) d.to = *address;
    destinations_.push_back(d);
}

void NetOnlooker::request_sent(in_addr to, bool ok, int64_t ms) {
    auto known = std::find_if(sent_.begin(), sent_.end(), [&](const Sent& s) { return same(s.to, to); });
    if (known == sent_.end()) {
        sent_.push_back({to, 0, 0, -1});
        known = sent_.end() - 1;
    }
    (ok ? known->ok : known->failed) += 1;
    if (ok && known->first_ms < 0) known->first_ms = ms;
}

void NetOnlooker::datagram_judged(const sockaddr_in& sender, Verdict verdict, bool supported, int64_t ms) {
    datagrams_.push_back({sender, verdict, supported, ms});
}

void NetOnlooker::scan_port_answers(const std::string& name, bool snmp_answered) {
    port_answers_.push_back({name, snmp_answered});
}

const NetOnlooker::Sent* NetOnlooker::sent_to(in_addr to) const {
    const auto found = std::find_if(sent_.begin(), sent_.end(), [&](const Sent& s) { return same(s.to, to); });
    return found == sent_.end() ? nullptr : &*found;
}

const NetOnlooker::Destination* NetOnlooker::destination_of(in_addr sender) const {
    for (const Destination& d : destinations_) {
        if (d.asked && d.netmask.s_addr == 0 && !d.any_sender && same(d.to, sender)) return &d;
    }
    for (const Destination& d : destinations_) {
        if (d.netmask.s_addr != 0 && (d.to.s_addr & d.netmask.s_addr) == (sender.s_addr & d.netmask.s_addr))
            return &d;
    }
    for (const Destination& d : destinations_) {
        if (d.any_sender) return &d;
    }
    return nullptr;
}

void NetOnlooker::print_found(FILE* out, const ORVELA_Scanner* devices, int count) const {
    for (int i = 0; i < count; ++i) {
        const ORVELA_Scanner& device = devices[i];
        in_addr address{};
        inet_pton(AF_INET, device.ipaddress, &address);
        const auto answer = std::find_if(datagrams_.begin(), datagrams_.end(), [&](const Datagram& d) {
            return d.supported && same(d.sender.sin_addr, address);
        });
        std::string how;
        std::string model_word;
        if (answer == datagrams_.end()) {
            // Listed with its model and silent: it keeps the model on its
            // line (the record holds the model table's name for it).
            model_word = std::string(" ") + device.modelName;
            how = "no SNMP answer; listed in orvela.conf with its model";
        } else {
            const Destination* d = destination_of(address);
            const Sent* s = d != nullptr ? sent_to(d->to) : nullptr;
            how = "answered on " + (d != nullptr ? d->what : std::string("an unknown interface"));
            if (s != nullptr && s->first_ms >= 0)
                how += " in " + std::to_string(answer->ms - s->first_ms) + " ms";
        }
        // An agent without a maker in its device ID has no brand.
        const std::string names = device.brandName[0] != '\0'
                                      ? std::string(device.brandName) + " " + device.modelName
                                      : std::string(device.modelName);
        fprintf(out, "# orvela:%s  %s  serial %s  %s\nsocket://%s%s\n", device.deviceURI, names.c_str(),
                device.serial[0] != '\0' ? device.serial : "(none)", how.c_str(), device.ipaddress,
                model_word.c_str());
    }
    // Listed addresses that gave nothing usable, so that a mistyped or
    // unplugged entry does not go unnoticed among the found ones.
    for (const Destination& d : destinations_) {
        if (d.netmask.s_addr != 0 || d.any_sender) continue;
        if (!d.asked) {
            fprintf(out, "# %s: no IPv4 address, not asked\n", d.what.c_str());
            continue;
        }
        const bool listed = std::any_of(devices, devices + count, [&](const ORVELA_Scanner& device) {
            in_addr a{};
            return inet_pton(AF_INET, device.ipaddress, &a) == 1 && same(a, d.to);
        });
        const bool silent = std::any_of(port_answers_.begin(), port_answers_.end(), [&](const PortAnswer& p) {
            return !p.snmp_answered && d.what == "listed address socket://" + p.name;
        });
        if (!listed && !silent) fprintf(out, "# %s: %s\n", d.what.c_str(), came_back(d).c_str());
    }
}

void NetOnlooker::print_silent(FILE* out) const {
    for (const PortAnswer& p : port_answers_) {
        if (p.snmp_answered) continue;
        fprintf(out,
                "# socket://%s answers on the scan port (%d) but not to SNMP: add its model to its line in "
                "orvela.conf, as scanimage -L names that model, and it is listed:\n# socket://%s MODEL\n",
                p.name.c_str(), net_discovery::kScannerDataPort, p.name.c_str());
    }
}

std::string NetOnlooker::came_back(const Destination& d) const {
    const Sent* s = sent_to(d.to);
    std::string text = s == nullptr ? "nothing sent" : plural(s->ok, "request sent", "requests sent");
    if (s != nullptr && s->failed > 0) text += ", " + plural(s->failed, "could not be sent", "could not be sent");
    int unsupported = 0;
    int malformed = 0;
    int wrong_port = 0;
    std::string senders;
    for (const Datagram& g : datagrams_) {
        if (destination_of(g.sender.sin_addr) != &d) continue;
        if (g.verdict == Verdict::Answer && !g.supported) {
            ++unsupported;
        } else if (g.verdict == Verdict::Empty || g.verdict == Verdict::NotAnAnswer) {
            ++malformed;
        } else if (g.verdict == Verdict::NotFromAgentPort) {
            ++wrong_port;
        } else {
            continue;
        }
        const std::string from = dotted(g.sender.sin_addr);
        if (senders.find(from) == std::string::npos) senders += (senders.empty() ? "" : ", ") + from;
    }
    std::string back;
    if (unsupported > 0)
        back += plural(unsupported, "reply that names", "replies that name") + " no supported model";
    if (malformed > 0) back += (back.empty() ? "" : "; ") + plural(malformed, "malformed reply", "malformed replies");
    if (wrong_port > 0)
        back += (back.empty() ? "" : "; ") + plural(wrong_port, "datagram", "datagrams") + " not from port 161";
    return text + "; came back: " + (back.empty() ? "nothing" : back + " (from " + senders + ")");
}

void NetOnlooker::print_nothing_answered(FILE* out, bool broadcast) const {
    fprintf(out,
            "No scanner answered.\nAsked: an SNMPv1 GetRequest (sysName, sysObjectID, IEEE 1284 device ID, serial "
            "number) to UDP port 161 of\n");
    for (const Destination& d : destinations_) {
        if (d.asked)
            fprintf(out, "  %s: %s\n", d.what.c_str(), came_back(d).c_str());
        else
            fprintf(out, "  %s: no IPv4 address, not asked\n", d.what.c_str());
    }
    if (destinations_.empty()) fprintf(out, "  nothing: no destination at all\n");

    const bool any_sent = std::any_of(sent_.begin(), sent_.end(), [](const Sent& s) { return s.ok > 0; });
    // A destination asked that sent nothing back at all.
    const bool any_silent = std::any_of(destinations_.begin(), destinations_.end(), [&](const Destination& d) {
        const Sent* s = d.asked ? sent_to(d.to) : nullptr;
        return s != nullptr && s->ok > 0 && std::none_of(datagrams_.begin(), datagrams_.end(), [&](const Datagram& g) {
                   return destination_of(g.sender.sin_addr) == &d;
               });
    });
    const bool any_unsupported = std::any_of(datagrams_.begin(), datagrams_.end(), [](const Datagram& g) {
        return g.verdict == Verdict::Answer && !g.supported;
    });
    const bool any_malformed = std::any_of(datagrams_.begin(), datagrams_.end(), [](const Datagram& g) {
        return g.verdict != Verdict::Answer;
    });
    fprintf(out, "Likely causes:\n");
    if (!broadcast)
        fprintf(out, "  - the broadcast is switched off in orvela.conf (discovery broadcast off): only listed "
                     "addresses are asked\n");
    else if (limited_broadcast_)
        fprintf(out, "  - no interface with an IPv4 broadcast address: the request went to 255.255.255.255 "
                     "only, which reaches no scanner behind a router and is often not sent at all\n");
    if (any_silent)
        fprintf(out, "  - a firewall on this computer that drops UDP from port 161: the answers come from that "
                     "port to a port picked at random here (let them in, e.g. nft add rule inet filter input udp "
                     "sport 161 accept)\n");
    if (!any_sent) fprintf(out, "  - no request could be sent: no network, or no route to the addresses asked\n");
    fprintf(out, "  - SNMP switched off on the printer (or the printer off, or on a subnet no broadcast "
                 "reaches): name it in orvela.conf, with its model when its SNMP is off:\n"
                 "      socket://ADDRESS MODEL\n");
    if (any_unsupported)
        fprintf(out, "  - the devices that answered are no scanners this backend supports\n");
    if (any_malformed)
        fprintf(out, "  - something on the network answers with datagrams that are no SNMP answer\n");
}

}  // namespace orvela_discover
