#include "backend/net_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/io_clock.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"
#include "common/snmp_lite.h"

namespace {

// The four objects of the discovery request; answers are read by position.
const char* const kDiscoveryObjects[] = {
    "1.3.6.1.2.1.1.5.0",                 // sysName.0
    "1.3.6.1.2.1.1.2.0",                 // sysObjectID.0
    "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1",  // ppmPrinterIEEE1284DeviceId.1
    "1.3.6.1.2.1.43.5.1.1.17.1",         // prtGeneralSerialNumber.1
    nullptr,
};
constexpr const char* k1284DeviceIdObject = "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1";

constexpr int kRequestRepeats = 3;
constexpr uint32_t kPauseUs = 500000;
constexpr int kQuietSeconds = 5;
constexpr int kMostDatagrams = 512;
constexpr size_t kDatagramSize = 2048;
constexpr size_t kValueSize = 512;

// RAII for the discovery's own datagram socket.
class UdpSocket {
public:
    UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {}
    ~UdpSocket() {
        if (fd_ >= 0) close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

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

bool begins_with(const char* text, const char* prefix, size_t n) { return strncmp(text, prefix, n) == 0; }

// Waits (for the socket's receive time-out) for one answer of at most 2048
// bytes; 0 or less when none came, which is how a search ends.
ssize_t receive_answer(int sock, uint8_t (&datagram)[kDatagramSize], sockaddr_in& sender) {
    socklen_t sender_size = sizeof sender;
    const ssize_t n = recvfrom(sock, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&sender), &sender_size);
    DBG_INFO("read size=%d\n", static_cast<int>(n));
    if (n <= 0) DBG_INFO("recv failed!!!,error==%s\n", strerror(errno));
    return n;
}

// A device on two of the host's subnets answers the broadcast once through
// each, from two addresses. Its serial number (with the same names) shows it is
// the same scanner: the first answer's address is kept.
bool is_listed_elsewhere(const ORVELA_Scanner& device, const ORVELA_Scanner* list, int count) {
    if (device.serial[0] == '\0') return false;
    for (int i = 0; i < count; ++i) {
        if (strcmp(list[i].serial, device.serial) == 0 && strcmp(list[i].modelName, device.modelName) == 0 &&
            strcmp(list[i].brandName, device.brandName) == 0)
            return true;
    }
    return false;
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
    if (row < 0 && !begins_with(object_id, kBrandOid, 17) && !begins_with(object_id, kBrandImageOid, 16)) return false;
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

bool send_discovery_burst(int sock, const sockaddr_in& destination, const uint8_t* request, size_t requestLength) {
    const uint8_t priming[2] = {0, 0};
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&destination);
    // The priming datagram only wakes sleeping links; its result is not used.
    (void)sendto(sock, priming, sizeof priming, MSG_NOSIGNAL, to, sizeof destination);
    orvela_io::sleep_us(kPauseUs);
    bool sent = false;
    for (int i = 0; i < kRequestRepeats; ++i) {
        if (sendto(sock, request, requestLength, MSG_NOSIGNAL, to, sizeof destination) < 0) {
            DBG_INFO("IPv4 sendto failed!\n");
        } else {
            DBG_INFO("IPv4 sendto success!\n");
            sent = true;
        }
        orvela_io::sleep_us(kPauseUs);
    }
    return sent;
}

bool probe_address(const char* address, ORVELA_Scanner* record, int timeoutSeconds) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(kSnmpPort);
    if (address == nullptr || inet_pton(AF_INET, address, &destination.sin_addr) != 1) return false;
    uint8_t request[1024];
    const INT32 length = SNMPBuildGetRequestMulti(request, kDiscoveryObjects, 0, sizeof request);
    UdpSocket sock;
    if (length <= 0 || sock.fd() < 0) return false;
    DBG_INFO("remote address: %s\n", address);
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&destination);
    const uint8_t priming[2] = {0, 0};
    (void)sendto(sock.fd(), priming, sizeof priming, MSG_NOSIGNAL, to, sizeof destination);

    // The request goes out again every second until an answer comes or the
    // time is up: one lost datagram must not cost the whole wait.
    const int64_t deadline = orvela_io::now_ms() + int64_t{timeoutSeconds} * 1000;
    int64_t next_send = 0;
    uint8_t datagram[kDatagramSize];
    for (int examined = 0; examined < kMostDatagrams;) {
        const int64_t now = orvela_io::now_ms();
        if (now >= deadline) break;
        if (now >= next_send) {
            (void)sendto(sock.fd(), request, static_cast<size_t>(length), MSG_NOSIGNAL, to, sizeof destination);
            next_send = now + 1000;
        }
        pollfd pfd{sock.fd(), POLLIN, 0};
        const int64_t wait_ms = std::min(next_send, deadline) - now;
        if (poll(&pfd, 1, static_cast<int>(wait_ms)) <= 0) continue;
        sockaddr_in sender{};
        socklen_t sender_size = sizeof sender;
        const ssize_t n = recvfrom(sock.fd(), datagram, sizeof datagram, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&sender), &sender_size);
        if (n <= 0) continue;
        ++examined;
        // Only the asked address may answer for itself.
        if (sender.sin_addr.s_addr != destination.sin_addr.s_addr) continue;
        if (answer_to_record(datagram, static_cast<int>(n), sender, record)) return true;
    }
    return false;
}

}  // namespace net_discovery

extern "C" {

int Net_FindScanner(ORVELA_Scanner** scannerList) {
    using namespace net_discovery;
    uint8_t request[1024];
    const INT32 request_length = SNMPBuildGetRequestMulti(request, kDiscoveryObjects, 0, sizeof request);
    DBG_INFO("run into find network \n");

    UdpSocket sock;
    const int one = 1;
    if (sock.fd() < 0) DBG_INFO("IPv4 socket create failed!\n");
    if (setsockopt(sock.fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) DBG_INFO("IPv4 setsockopt failed\n");

    bool sent = false;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        DBG_INFO("getifaddrs error\n");
        interfaces = nullptr;
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
        if ((entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr != nullptr &&
            entry->ifa_broadaddr->sa_family == AF_INET) {
            DBG_INFO("this is IPv4 address!!\n");
            char host[NI_MAXHOST];
            if (getnameinfo(entry->ifa_broadaddr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
                continue;
            sockaddr_in destination{};
            destination.sin_family = AF_INET;
            destination.sin_port = htons(kSnmpPort);
            if (inet_pton(AF_INET, host, &destination.sin_addr) != 1) continue;
            DBG_INFO("Local broadcast address: %s\n", host);
            if (request_length > 0 && send_discovery_burst(sock.fd(), destination, request, request_length)) sent = true;
        } else if (entry->ifa_flags & IFF_POINTOPOINT) {
            DBG_INFO("this is IPv4 address 2!!\n");
            char host[NI_MAXHOST];
            if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
                DBG_INFO("Local address: %s\n", host);
        }
    }
    if (interfaces != nullptr) freeifaddrs(interfaces);

    if (!sent) {
        DBG_INFO("Local broadcast address: %s\n", "255.255.255.255");
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_port = htons(kSnmpPort);
        destination.sin_addr.s_addr = INADDR_BROADCAST;
        if (request_length > 0 && send_discovery_burst(sock.fd(), destination, request, request_length)) sent = true;
    }

    if (!set_timeout(sock.fd(), SO_RCVTIMEO, kQuietSeconds)) return 0;
    if (!sent) {
        *scannerList = nullptr;
        return 0;
    }

    ORVELA_Scanner* devices = nullptr;
    int count = 0;
    uint8_t datagram[kDatagramSize];
    for (int examined = 0; examined < kMostDatagrams; ++examined) {
        sockaddr_in sender{};
        const ssize_t n = receive_answer(sock.fd(), datagram, sender);
        if (n <= 0) break;
        if (sender.sin_family != AF_INET) continue;
        ORVELA_Scanner record;
        if (!answer_to_record(datagram, static_cast<int>(n), sender, &record)) continue;
        if (ExistDevice(record, devices, count) || is_listed_elsewhere(record, devices, count)) continue;
        auto* grown = static_cast<ORVELA_Scanner*>(realloc(devices, sizeof(ORVELA_Scanner) * (count + 1)));
        if (grown == nullptr) {
            DBG_INFO("No memory for another network device\n");
            break;  // keep the devices found so far
        }
        devices = grown;
        devices[count++] = record;
    }
    *scannerList = devices;
    return count;
}

bool getSNMP1284DeviceId(const char* address, char* device1284Id, size_t size) {
    DBG_INFO("run into getSNMP1284DeviceId \n");
    if (address == nullptr || device1284Id == nullptr || size == 0) return false;
    uint8_t request[1024];
    const INT32 request_length = SNMPBuildGetRequest(request, k1284DeviceIdObject, 0, sizeof request);
    UdpSocket sock;
    if (sock.fd() < 0) DBG_INFO("IPv4 socket create failed!\n");
    if (!set_timeout(sock.fd(), SO_RCVTIMEO, 8) || !set_timeout(sock.fd(), SO_SNDTIMEO, 8)) return false;

    DBG_INFO("remote address: %s\n", address);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(net_discovery::kSnmpPort);
    destination.sin_addr.s_addr = inet_addr(address);
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&destination);
    const uint8_t priming[2] = {0, 0};
    (void)sendto(sock.fd(), priming, sizeof priming, MSG_NOSIGNAL, to, sizeof destination);
    orvela_io::sleep_us(kPauseUs);
    if (request_length <= 0 ||
        sendto(sock.fd(), request, static_cast<size_t>(request_length), MSG_NOSIGNAL, to, sizeof destination) < 0) {
        DBG_INFO("IPv4 sendto failed!\n");
        orvela_io::sleep_us(kPauseUs);
        return false;
    }
    DBG_INFO("IPv4 sendto success!\n");
    orvela_io::sleep_us(kPauseUs);

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

}  // extern "C"
