#include "backend/net_discovery.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "backend/io_clock.h"
#include "backend/net_search.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/orvela_config.h"
#include "common/scanner_description.h"
#include "common/snmp_lite.h"

namespace {

constexpr const char* k1284DeviceIdObject = "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1";

constexpr uint32_t kPauseUs = 500000;
constexpr size_t kDatagramSize = 2048;
constexpr size_t kValueSize = 512;

bool set_timeout(int fd, int option, int seconds) {
    timeval tv{seconds, 0};
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// Copies text into a record field of `width` bytes, cut to keep its
// terminator. Control characters (a newline in a foreign agent's sysName, say)
// become '?': the texts end up in frontends' one-line device listings.
void copy_field(char* field, size_t width, const char* text) {
    snprintf(field, width, "%s", text ? text : "");
    for (char* c = field; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
    }
}

void format_address(const sockaddr_in& address, char* text, size_t size) {
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address.sin_addr.s_addr);
    snprintf(text, size, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
}

// Plain text comparison over the whole prefix, with no regard to arcs.
template <size_t N>
bool begins_with(const char* text, const char (&prefix)[N]) {
    return strncmp(text, prefix, N - 1) == 0;
}

// Waits (for the socket's receive time-out) for one answer of at most 2048
// bytes; 0 or less when none came, which is how a search ends.
ssize_t receive_answer(int sock, uint8_t (&datagram)[kDatagramSize], sockaddr_in& sender) {
    socklen_t sender_size = sizeof sender;
    const ssize_t n = recvfrom(sock, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&sender), &sender_size);
    DBG_INFO("read size=%d\n", static_cast<int>(n));
    if (n <= 0) DBG_INFO("recv failed!!!,error==%s\n", strerror(errno));
    return n;
}

}  // namespace

char* GetValueFrom1284DeviceID(const char* device1284String, const char* key) {
    if (device1284String == nullptr || key == nullptr) return nullptr;
    char search[64];
    snprintf(search, sizeof search, "%.62s:", key);
    const char* found = strstr(device1284String, search);
    if (found == nullptr) return nullptr;

    // The pair runs from the key to the first ';' or the end of the ID,
    // looking at no more than a 511-character window.
    const char* value = found + strlen(search);
    const size_t window = strnlen(found, kValueSize - 1);
    const char* window_end = found + window;
    if (value > window_end) value = window_end;
    const char* semicolon = static_cast<const char*>(memchr(value, ';', static_cast<size_t>(window_end - value)));
    const char* value_end = semicolon ? semicolon : window_end;

    char* result = static_cast<char*>(calloc(kValueSize, 1));
    if (result == nullptr) return nullptr;
    memcpy(result, value, static_cast<size_t>(value_end - value));
    return result;
}

bool ExistDevice(ORVELA_Scanner device, const ORVELA_Scanner* deviceList, int deviceListCount) {
    for (int i = 0; deviceList != nullptr && i < deviceListCount; ++i) {
        if (strncmp(device.ipaddress, deviceList[i].ipaddress, 64) == 0) return true;
    }
    return false;
}

namespace net_discovery {

bool answer_to_record(const uint8_t* datagram, int length, const sockaddr_in& sender, ORVELA_Scanner* record) {
    char system_name[1024] = {};
    char object_id[1024] = {};
    char device_id[1024] = {};
    char serial[64] = {};
    memset(record, 0, sizeof *record);

    if (SNMPResponseType(datagram, length, 0, nullptr, nullptr, 0) == -1) return false;
    if (SNMPResponseData(datagram, length, 0, system_name, sizeof system_name) == -1 ||
        SNMPResponseData(datagram, length, 1, object_id, sizeof object_id) == -1 ||
        SNMPResponseData(datagram, length, 2, device_id, sizeof device_id) == -1 ||
        SNMPResponseData(datagram, length, 3, serial, sizeof serial) == -1)
        return false;

    char address[64];
    format_address(sender, address, sizeof address);
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&sender.sin_addr.s_addr);
    DBG_INFO("Response from %d.%d.%d.%d:\n", octets[0], octets[1], octets[2], octets[3]);
    DBG_INFO("    SystemName = %s\n", system_name);
    DBG_INFO("    ProductID = %s\n", object_id);
    DBG_INFO("    SN = %s\n", serial);

    const int row = MatchNetProduct(object_id);
    if (row < 0 && !begins_with(object_id, kOrvelaEnterpriseOid) && !begins_with(object_id, kOrvelaImagingOid)) return false;
    bool has_feeder = false;
    bool right_rear = false;
    if (row >= 0) {
        const Scanner_Description model = GetScannerDescription(row);
        has_feeder = model.isSupportADF;
        right_rear = model.isRightRearBP;
    }
    DBG_INFO("product ID matches Orvela Scanner!\n");

    char* maker = GetValueFrom1284DeviceID(device_id, "MFG");
    char* model = GetValueFrom1284DeviceID(device_id, "MDL");
    if (model == nullptr) model = GetValueFrom1284DeviceID(device_id, "MODEL");
    DBG_INFO("MFG=%s, MODLE=%s\n", maker ? maker : "(null)", model ? model : "(null)");

    const bool named = maker != nullptr && model != nullptr;
    copy_field(record->brandName, sizeof record->brandName, named ? maker : "");
    copy_field(record->modelName, sizeof record->modelName, named ? model : system_name);
    snprintf(record->deviceURI, sizeof record->deviceURI, "socket://%s", address);
    copy_field(record->serial, sizeof record->serial, serial);
    record->type_io = IOTYPE_NET;
    copy_field(record->ipaddress, sizeof record->ipaddress, address);
    record->port = kScannerDataPort;
    record->isSupportADF = has_feeder;
    record->isRightRearBP = right_rear;
    free(maker);
    free(model);
    return true;
}

bool is_distinct_serial(const char* serial) {
    if (serial == nullptr || serial[0] == '\0') return false;
    for (const char* c = serial + 1; *c != '\0'; ++c) {
        if (*c != serial[0]) return true;
    }
    return false;
}

bool is_listed_elsewhere(const ORVELA_Scanner& device, const ORVELA_Scanner* list, int count) {
    // Two scanners of one model that both carry the factory's placeholder
    // serial are two devices; only a real serial number shows it is one.
    if (!is_distinct_serial(device.serial)) return false;
    for (int i = 0; list != nullptr && i < count; ++i) {
        if (strcmp(list[i].serial, device.serial) == 0 && strcmp(list[i].modelName, device.modelName) == 0 &&
            strcmp(list[i].brandName, device.brandName) == 0)
            return true;
    }
    return false;
}

void model_record(in_addr address, int row, ORVELA_Scanner* record) {
    memset(record, 0, sizeof *record);
    const Scanner_Description model = GetScannerDescription(row);
    sockaddr_in a{};
    a.sin_addr = address;
    char text[64];
    format_address(a, text, sizeof text);
    copy_field(record->brandName, sizeof record->brandName, kOrvelaBrandName);
    copy_field(record->modelName, sizeof record->modelName, model.modelName);
    snprintf(record->deviceURI, sizeof record->deviceURI, "socket://%s", text);
    record->type_io = IOTYPE_NET;
    copy_field(record->ipaddress, sizeof record->ipaddress, text);
    record->port = kScannerDataPort;
    record->isSupportADF = model.isSupportADF;
    record->isRightRearBP = model.isRightRearBP;
}

bool listed_with_model(const char* name, ORVELA_Scanner* record) {
    if (name == nullptr || record == nullptr) return false;
    try {
        in_addr wanted{};
        const bool wanted_is_address = inet_pton(AF_INET, name, &wanted) == 1;
        for (const auto& [listed, model] : orvela_config::current().socket_models) {
            const int row = FindModelByName(model.c_str());
            in_addr address{};
            if (row < 0) continue;
            if (listed == name) {
                if (!resolve_ipv4(listed, &address)) return false;
            } else if (!wanted_is_address || !resolve_ipv4(listed, &address) || address.s_addr != wanted.s_addr) {
                continue;
            }
            model_record(address, row, record);
            return true;
        }
    } catch (const std::exception&) {
        DBG_WARN("No memory to look %s up in orvela.conf\n", name);
    }
    return false;
}

SearchPlan configured_plan() {
    const orvela_config::Settings& settings = orvela_config::current();
    SearchPlan plan;
    plan.broadcast = settings.discovery_broadcast;
    plan.quiet_seconds = settings.discovery_wait_seconds;
    plan.listed = settings.socket_addresses;
    plan.listed_models = settings.socket_models;
    plan.check_scan_port = true;
    // A listed address gets as long as the query at open, or the quiet
    // time when that is longer (a slow network).
    plan.listed_seconds = std::max(kListedQuerySeconds, settings.discovery_wait_seconds);
    return plan;
}

bool probe_address(const char* address, ORVELA_Scanner* record, int timeoutSeconds) {
    if (address == nullptr || record == nullptr) return false;
    try {
        SearchPlan plan;
        plan.broadcast = false;
        plan.listed.emplace_back(address);
        plan.listed_seconds = timeoutSeconds;
        ORVELA_Scanner* found = nullptr;
        const int count = run_search(plan, &found);
        if (count > 0) *record = found[0];
        free(found);
        return count > 0;
    } catch (const std::exception&) {
        DBG_WARN("No memory to ask %s\n", address);
        return false;
    }
}

}  // namespace net_discovery

extern "C" {

static int Net_FindScanner_body(ORVELA_Scanner** scannerList) {
    ORVELA_Scanner* found = nullptr;
    int count = 0;
    try {
        const net_discovery::SearchPlan plan = net_discovery::configured_plan();
        if (!plan.broadcast) DBG_INFO("Broadcast switched off; asking %zu listed addresses\n", plan.listed.size());
        count = net_discovery::run_search(plan, &found);
    } catch (const std::exception&) {
        DBG_WARN("No memory for the network search\n");  // the search's own allocations are gone with it
    }
    if (scannerList != nullptr) {
        *scannerList = found;
    } else {
        free(found);
    }
    return count;
}

static bool getSNMP1284DeviceId_body(const char* address, char* device1284Id, size_t size) {
    DBG_INFO("run into getSNMP1284DeviceId \n");
    if (address == nullptr || device1284Id == nullptr || size == 0) return false;
    uint8_t request[1024];
    const INT32 request_length = SNMPBuildGetRequest(request, k1284DeviceIdObject, 0, sizeof request);
    net_discovery::UdpSocket sock;
    if (sock.fd() < 0) DBG_INFO("IPv4 socket create failed!\n");
    if (!set_timeout(sock.fd(), SO_RCVTIMEO, 8) || !set_timeout(sock.fd(), SO_SNDTIMEO, 8)) return false;

    DBG_INFO("remote address: %s\n", address);
    in_addr destination{};
    destination.s_addr = inet_addr(address);
    const std::vector<sockaddr_in> to{net_discovery::agent_address(destination)};
    (void)net_discovery::send_priming(sock.fd(), to);
    orvela_io::sleep_us(kPauseUs);
    const bool sent = request_length > 0 &&
                      net_discovery::send_request(sock.fd(), to, request, static_cast<size_t>(request_length));
    if (request_length <= 0) DBG_INFO("IPv4 sendto failed!\n");
    orvela_io::sleep_us(kPauseUs);
    if (!sent) return false;

    uint8_t datagram[kDatagramSize];
    for (int examined = 0; examined < 3; ++examined) {
        sockaddr_in sender{};
        const ssize_t n = receive_answer(sock.fd(), datagram, sender);
        if (n <= 0) return false;
        if (SNMPResponseType(datagram, static_cast<int>(n), 0, nullptr, nullptr, 0) == -1) continue;
        if (SNMPResponseData(datagram, static_cast<int>(n), 0, device1284Id, size) == -1) continue;
        const uint8_t* octets = reinterpret_cast<const uint8_t*>(&sender.sin_addr.s_addr);
        DBG_INFO("Response from %d.%d.%d.%d:\n", octets[0], octets[1], octets[2], octets[3]);
        DBG_INFO("1284 Device ID = %s\n", device1284Id);
        return true;
    }
    return false;
}


int Net_FindScanner(ORVELA_Scanner** scannerList) {
    return c_boundary::call("Net_FindScanner", 0, [&] { return Net_FindScanner_body(scannerList); });
}

bool getSNMP1284DeviceId(const char* address, char* device1284Id, size_t size) {
    return c_boundary::call("getSNMP1284DeviceId", false,
                            [&] { return getSNMP1284DeviceId_body(address, device1284Id, size); });
}

}  // extern "C"
