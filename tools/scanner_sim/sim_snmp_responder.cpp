// SNMP agent of the simulated scanner: its own small BER encoder and decoder
// (the device side; it shares nothing with the host's codec).
#include "tools/scanner_sim/sim_snmp_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace orvela_sim {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct SnmpResponder::Pending {
    enum Kind { Own, Foreign, Junk };
    Clock::time_point due;
    int fd;
    sockaddr_in to;
    Bytes bytes;
    Kind kind;
};

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctets = 0x04;
constexpr uint8_t kTagNull = 0x05;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagGetRequest = 0xA0;
constexpr int kNoSuchName = 2;

// --- encoding ---------------------------------------------------------------

void append_length(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
        return;
    }
    uint8_t digits[sizeof(size_t)];
    int count = 0;
    for (size_t v = n; v != 0; v >>= 8) digits[count++] = static_cast<uint8_t>(v & 0xFF);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0) out.push_back(digits[--count]);
}

Bytes tlv(uint8_t tag, const Bytes& content) {
    Bytes out;
    out.reserve(content.size() + 6);
    out.push_back(tag);
    append_length(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes integer(int32_t value) {
    Bytes content;
    for (int shift = 24; shift >= 0; shift -= 8)
        content.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> shift));
    // Minimal two's complement: drop leading bytes that only repeat the sign.
    while (content.size() > 1 && ((content[0] == 0x00 && !(content[1] & 0x80)) ||
                                  (content[0] == 0xFF && (content[1] & 0x80))))
        content.erase(content.begin());
    return tlv(kTagInteger, content);
}

Bytes octets(const std::string& text) { return tlv(kTagOctets, Bytes(text.begin(), text.end())); }

Bytes null_value() { return {kTagNull, 0x00}; }

// Dotted text to arcs; nullopt for anything but digits between single dots.
std::optional<std::vector<uint32_t>> parse_dotted(const std::string& dotted) {
    std::vector<uint32_t> arcs;
    if (dotted.empty()) return arcs;
    uint64_t value = 0;
    bool digit_seen = false;
    for (char ch : dotted) {
        if (ch == '.') {
            if (!digit_seen) return std::nullopt;
            arcs.push_back(static_cast<uint32_t>(value));
            value = 0;
            digit_seen = false;
        } else if (ch >= '0' && ch <= '9') {
            value = value * 10 + static_cast<uint64_t>(ch - '0');
            if (value > 0xFFFFFFFFu) return std::nullopt;
            digit_seen = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit_seen) return std::nullopt;
    arcs.push_back(static_cast<uint32_t>(value));
    return arcs;
}

void append_base128(Bytes& out, uint32_t v) {
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v != 0);
    while (count > 1) out.push_back(static_cast<uint8_t>(0x80 | groups[--count]));
    out.push_back(groups[0]);
}

// An OBJECT IDENTIFIER item; the empty text gives empty content. Text that is
// not dotted decimal also gives empty content (the simulator's options are
// checked before they get here).
Bytes object_id(const std::string& dotted) {
    Bytes content;
    const auto arcs = parse_dotted(dotted);
    if (arcs && !arcs->empty()) {
        const uint32_t first = (*arcs)[0];
        const uint32_t second = arcs->size() > 1 ? (*arcs)[1] : 0;
        append_base128(content, first * 40 + second);
        for (size_t i = 2; i < arcs->size(); ++i) append_base128(content, (*arcs)[i]);
    }
    return tlv(kTagOid, content);
}

Bytes concat(std::initializer_list<const Bytes*> parts) {
    Bytes out;
    for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

struct Binding {
    std::string oid;
    Bytes value;  // a whole value item
};

Bytes message(const std::string& community, uint8_t pdu_type, int32_t request_id, int error_status,
              int error_index, const std::vector<Binding>& bindings) {
    Bytes list;
    for (const Binding& b : bindings) {
        const Bytes name = object_id(b.oid);
        const Bytes one = tlv(kTagSequence, concat({&name, &b.value}));
        list.insert(list.end(), one.begin(), one.end());
    }
    const Bytes id = integer(request_id), status = integer(error_status), index = integer(error_index);
    const Bytes varbinds = tlv(kTagSequence, list);
    const Bytes pdu = tlv(pdu_type, concat({&id, &status, &index, &varbinds}));
    const Bytes version = integer(0), name = octets(community);
    return tlv(kTagSequence, concat({&version, &name, &pdu}));
}

// Which of the four objects `oid` is (its mask bit), 0 for any other.
unsigned object_bit(const std::string& oid) {
    if (oid == kOidSysName) return kObjSysName;
    if (oid == kOidSysObjectId) return kObjSysObjectId;
    if (oid == kOid1284DeviceId) return kObjDeviceId;
    if (oid == kOidSerialNumber) return kObjSerial;
    return 0;
}

std::optional<Bytes> value_of(const SnmpIdentity& identity, unsigned bit) {
    switch (bit) {
    case kObjSysName: return octets(identity.sys_name);
    case kObjSysObjectId: return object_id(identity.object_id);
    case kObjDeviceId: return octets(identity.device_id);
    case kObjSerial: return octets(identity.serial);
    default: return std::nullopt;
    }
}

// --- decoding ---------------------------------------------------------------

struct Reader {
    const uint8_t* p;
    const uint8_t* end;
    size_t left() const { return static_cast<size_t>(end - p); }

    // One header with definite length whose content lies within the reader;
    // positions the reader at the content.
    bool header(uint8_t* tag, size_t* length) {
        if (left() < 2) return false;
        *tag = *p++;
        if ((*tag & 0x1F) == 0x1F) return false;  // multi-byte tags never occur in SNMP
        uint8_t first = *p++;
        size_t n = 0;
        if (first < 0x80) {
            n = first;
        } else {
            const int count = first & 0x7F;
            if (count == 0 || count > 4 || left() < static_cast<size_t>(count)) return false;
            for (int i = 0; i < count; ++i) n = (n << 8) | *p++;
        }
        if (n > left()) return false;
        *length = n;
        return true;
    }
    bool expect(uint8_t want, size_t* length) {
        uint8_t tag = 0;
        return header(&tag, length) && tag == want;
    }
    bool integer(int32_t* value) {
        size_t n = 0;
        if (!expect(kTagInteger, &n) || n == 0 || n > 4) return false;
        uint32_t v = (p[0] & 0x80) ? 0xFFFFFFFFu : 0u;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
        *value = static_cast<int32_t>(v);
        p += n;
        return true;
    }
};

bool oid_text(const uint8_t* content, size_t size, std::string* out) {
    out->clear();
    size_t pos = 0;
    bool first = true;
    while (pos < size) {
        uint32_t v = 0;
        uint8_t byte = 0;
        do {
            if (pos >= size || v > (0xFFFFFFFFu >> 7)) return false;
            byte = content[pos++];
            v = (v << 7) | (byte & 0x7F);
        } while (byte & 0x80);
        // Appended piece by piece: gcc 12 at -O3 misreads `string + "." +
        // string` as an overlapping copy (-Wrestrict).
        if (first) {
            const uint32_t a = v < 80 ? v / 40 : 2;
            out->append(std::to_string(a));
            v -= a * 40;
            first = false;
        }
        if (!out->empty()) out->push_back('.');
        out->append(std::to_string(v));
    }
    return true;
}

std::string address_text(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

bool parse_snmp_request(const uint8_t* data, size_t size, SnmpRequestRecord* record, std::string* community) {
    record->well_formed = false;
    record->objects.clear();
    if (data == nullptr) return false;
    Reader r{data, data + size};
    size_t n = 0;
    if (!r.expect(kTagSequence, &n)) return false;
    r.end = r.p + n;
    int32_t version = -1;
    if (!r.integer(&version) || version != 0) return false;
    if (!r.expect(kTagOctets, &n)) return false;
    community->assign(reinterpret_cast<const char*>(r.p), n);
    r.p += n;
    uint8_t pdu = 0;
    if (!r.header(&pdu, &n) || (pdu & 0xE0) != 0xA0) return false;
    r.end = r.p + n;
    int32_t id = 0, status = 0, index = 0;
    if (!r.integer(&id) || !r.integer(&status) || !r.integer(&index)) return false;
    if (!r.expect(kTagSequence, &n)) return false;
    r.end = r.p + n;
    std::vector<std::string> objects;
    while (r.left() > 0) {
        if (!r.expect(kTagSequence, &n)) return false;
        Reader binding{r.p, r.p + n};
        r.p += n;
        std::string oid;
        if (!binding.expect(kTagOid, &n) || !oid_text(binding.p, n, &oid)) return false;
        binding.p += n;
        uint8_t tag = 0;
        if (!binding.header(&tag, &n)) return false;  // the value (NULL in a request)
        objects.push_back(std::move(oid));
    }
    record->well_formed = true;
    record->pdu_type = pdu;
    record->request_id = id;
    record->objects = std::move(objects);
    return true;
}

Bytes build_snmp_answer(const SnmpIdentity& identity, const SnmpFaults& faults, const std::vector<std::string>& objects,
                        int32_t request_id) {
    std::vector<Binding> bindings;
    int error_status = 0;
    int error_index = 0;
    // An object the agent does not have makes the whole answer noSuchName.
    for (size_t i = 0; i < objects.size(); ++i) {
        const unsigned bit = object_bit(objects[i]);
        if (bit == 0 || (faults.missing & bit)) {
            error_status = kNoSuchName;
            error_index = static_cast<int>(i) + 1;
            break;
        }
    }
    const bool absent = error_status != 0;
    if (!absent && faults.error_status != 0) {
        error_status = faults.error_status;
        error_index = 1;
    }
    // An absent object always nulls every value; a scripted error may keep them.
    const bool values_null = absent || (error_status != 0 && !faults.error_keeps_values);
    for (const std::string& oid : objects) {
        const unsigned bit = object_bit(oid);
        if (faults.omitted & bit) continue;
        std::optional<Bytes> value;
        if (!values_null && !(faults.null_values & bit)) value = value_of(identity, bit);
        bindings.push_back({oid, value ? *value : null_value()});
    }
    Bytes out = message(identity.community, faults.pdu_type, request_id, error_status, error_index, bindings);

    if (faults.oversize_to > out.size()) {
        // A trailing sysDescr.0 whose text brings the datagram to the size
        // asked for; the length fields grow with it, so settle by trying.
        bindings.push_back({kOidSysDescr, {}});
        size_t pad = faults.oversize_to - out.size();
        for (int round = 0; round < 8; ++round) {
            bindings.back().value = octets(std::string(pad, 'x'));
            out = message(identity.community, faults.pdu_type, request_id, error_status, error_index, bindings);
            if (out.size() == faults.oversize_to) break;
            const size_t over = out.size() > faults.oversize_to ? out.size() - faults.oversize_to : 0;
            if (over == 0) pad += faults.oversize_to - out.size();
            else pad = pad > over ? pad - over : 0;
        }
    }
    if (faults.truncate_to != 0 && faults.truncate_to < out.size()) out.resize(faults.truncate_to);
    return out;
}

Bytes build_malformed_datagram() {
    // A message and a GetResponse whose four-byte lengths claim gigabytes.
    return {kTagSequence, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x02, 0x01, 0x00, 0x04, 0x06, 'r', 'd', 'c', 'o', 'm',
            'm',          0xA2, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02, 0x01};
}

Bytes build_foreign_answer(const std::string& sys_name, const std::vector<std::string>& objects, int32_t request_id,
                           const std::string& community) {
    SnmpIdentity foreign;
    foreign.sys_name = sys_name;
    foreign.object_id = kForeignObjectId;
    foreign.device_id = "MFG:Other;MDL:Thing;";
    foreign.serial = "X-" + sys_name;
    foreign.community = community;
    return build_snmp_answer(foreign, SnmpFaults{}, objects, request_id);
}

SnmpResponder::SnmpResponder(SnmpOptions options) : options_(std::move(options)) {}

SnmpResponder::~SnmpResponder() { stop(); }

bool SnmpResponder::start(std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        close_fd(fd_);
        close_fd(wake_fd_);
        for (int& fd : flood_fds_) close_fd(fd);
        flood_fds_.clear();
        return false;
    };
    if (running_.load()) {
        if (error) *error = "already running";
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + options_.address;
        return false;
    }
    const int one = 1;
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("socket");
    // The flood's "other agents" bind their own addresses on the same port.
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind " + options_.address);
    socklen_t len = sizeof addr;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fail("getsockname");
    port_ = ntohs(addr.sin_port);

    for (const std::string& from : options_.faults.flood_from) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_port = addr.sin_port;
        if (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1) {
            errno = EINVAL;
            return fail("flood source " + from);
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail("socket");
        flood_fds_.push_back(fd);
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            source.sin_port = 0;  // the port is taken: any port will do for sending
            if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
                return fail("bind flood source " + from);
        }
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return fail("eventfd");
    stopping_ = false;
    running_ = true;
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
        running_ = false;
        return fail("thread");
    }
    return true;
}

void SnmpResponder::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        const uint64_t one = 1;
        if (::write(wake_fd_, &one, sizeof one) < 0) {
            // An eventfd write cannot fail here; the thread also checks stopping_.
        }
        thread_.join();
    }
    close_fd(fd_);
    close_fd(wake_fd_);
    for (int& fd : flood_fds_) close_fd(fd);
    flood_fds_.clear();
    pending_.clear();
    running_ = false;
}

std::vector<SnmpRequestRecord> SnmpResponder::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void SnmpResponder::serve() {
    std::vector<uint8_t> buffer(65536);
    while (!stopping_.load()) {
        // Send what is due; the pending list is kept in order of due time.
        const auto now = Clock::now();
        size_t sent = 0;
        for (; sent < pending_.size() && pending_[sent].due <= now; ++sent) {
            const Pending& p = pending_[sent];
            if (::sendto(p.fd, p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&p.to),
                         sizeof p.to) >= 0)
                if (p.kind != Pending::Junk) ++(p.kind == Pending::Foreign ? foreign_ : answers_);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
        int timeout = -1;
        if (!pending_.empty()) {
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(pending_.front().due - Clock::now());
            timeout = wait.count() <= 0 ? 0 : static_cast<int>((wait.count() + 999) / 1000);
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got < 0) continue;
        try {
            handle(buffer.data(), static_cast<size_t>(got), &from, from_size);
        } catch (const std::exception&) {
            // Out of memory: this request goes unanswered, the agent carries on.
        }
    }
}

void SnmpResponder::handle(const uint8_t* data, size_t size, const void* from_ptr, unsigned from_size) {
    if (from_size < sizeof(sockaddr_in)) return;
    const sockaddr_in& from = *static_cast<const sockaddr_in*>(from_ptr);
    SnmpRequestRecord record;
    record.from = address_text(from);
    record.size = size;
    std::string community;
    const bool parsed = parse_snmp_request(data, size, &record, &community);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(record);
    }
    // Like a stock agent: nothing for a foreign community or anything but a GetRequest.
    if (!parsed || community != options_.identity.community || record.pdu_type != kTagGetRequest) return;

    const SnmpFaults& faults = options_.faults;
    const auto now = Clock::now();
    auto schedule = [&](Clock::time_point due, int fd, Bytes bytes, Pending::Kind kind) {
        Pending p{due, fd, from, std::move(bytes), kind};
        auto at = std::upper_bound(pending_.begin(), pending_.end(), due,
                                   [](Clock::time_point t, const Pending& q) { return t < q.due; });
        pending_.insert(at, std::move(p));
    };
    Bytes own = build_snmp_answer(options_.identity, faults, record.objects, record.request_id);
    if (faults.junk_first) {
        schedule(now, fd_, Bytes{}, Pending::Junk);
        schedule(now, fd_, build_malformed_datagram(), Pending::Junk);
    }
    if (faults.flood <= 0) {
        schedule(now + std::chrono::milliseconds(faults.answer_delay_ms), fd_, std::move(own), Pending::Own);
        return;
    }
    // One flood per socket of the host; its repeated requests go unanswered.
    if (std::find(flooded_.begin(), flooded_.end(), record.from) != flooded_.end()) return;
    flooded_.push_back(record.from);
    const auto start = now + std::chrono::milliseconds(faults.flood_delay_ms);
    const auto step = std::chrono::microseconds(std::max(0, faults.flood_interval_us));
    for (int i = 0; i < faults.flood; ++i) {
        const int fd = flood_fds_.empty() ? fd_ : flood_fds_[static_cast<size_t>(i) % flood_fds_.size()];
        schedule(start + i * step, fd,
                 build_foreign_answer("agent-" + std::to_string(i + 1), record.objects, record.request_id, community),
                 Pending::Foreign);
    }
    schedule(start + faults.flood * step + std::chrono::milliseconds(faults.answer_delay_ms), fd_, std::move(own),
             Pending::Own);
}

}  // namespace orvela_sim
