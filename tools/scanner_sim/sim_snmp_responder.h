// The simulated scanner's SNMP agent: a UDP responder that answers SNMPv1
// GetRequests for the objects a host's network discovery asks for, the way
// the device's own agent would, and that can be told to answer badly.
//
//   orvela_sim::SnmpOptions options;                 // 127.0.0.1, free port
//   options.identity.object_id = "1.3.6.1.4.1.93501.1.104";
//   options.faults.error_status = 2;                 // noSuchName, NULL values
//   orvela_sim::SnmpResponder agent(options);
//   if (!agent.start()) ...;                         // binds, starts the thread
//   send a GetRequest to 127.0.0.1:agent.port() ...
//   agent.stop();                                    // or let the destructor do it
//
// Objects served (everything else is absent):
//
//   1.3.6.1.2.1.1.5.0                 sysName.0                      OCTET STRING
//   1.3.6.1.2.1.1.2.0                 sysObjectID.0                  OBJECT IDENTIFIER
//   1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1  ppmPrinterIEEE1284DeviceId.1   OCTET STRING
//   1.3.6.1.2.1.43.5.1.1.17.1         prtGeneralSerialNumber.1       OCTET STRING
//
// As a stock SNMPv1 agent does, the responder ignores datagrams that are not a
// well-formed version-1 message with its community (the host's 2-byte priming
// datagram among them), answers a GetRequest with a GetResponse carrying the
// request's id and the bindings in request order, and answers a request for an
// absent object with error-status noSuchName (2), the 1-based error-index of
// the first absent object and every value NULL. Bound to 0.0.0.0 it also
// answers requests sent to a broadcast address, from the address of the
// interface the request came in on.
//
// Every descriptor is close-on-exec; sends use MSG_NOSIGNAL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvela_sim {

// The object identifiers of the four discovery objects.
inline constexpr const char* kOidSysName = "1.3.6.1.2.1.1.5.0";
inline constexpr const char* kOidSysObjectId = "1.3.6.1.2.1.1.2.0";
inline constexpr const char* kOid1284DeviceId = "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1";
inline constexpr const char* kOidSerialNumber = "1.3.6.1.2.1.43.5.1.1.17.1";
// A padding object for oversized answers (sysDescr.0).
inline constexpr const char* kOidSysDescr = "1.3.6.1.2.1.1.1.0";
// The sysObjectID of the stock agents that flood answers come from.
inline constexpr const char* kForeignObjectId = "1.3.6.1.4.1.8072.3.2.10";

// Bit masks naming the four objects, for the fault sets below.
enum SnmpObjectBits : unsigned {
    kObjSysName = 1u << 0,
    kObjSysObjectId = 1u << 1,
    kObjDeviceId = 1u << 2,
    kObjSerial = 1u << 3,
    kObjAll = 0xFu,
};

// What the device reports. Texts may hold any bytes, zero bytes and newlines
// included; they are sent as they stand.
struct SnmpIdentity {
    std::string sys_name = "orvela-sim";
    std::string object_id = "1.3.6.1.4.1.93501.1.101";  // dotted; "" sends an empty OBJECT IDENTIFIER
    std::string device_id = "MFG:Orvela;MDL:OR-M1020;CMD:PCL;";
    std::string serial = "SIM00001";
    std::string community = "rdcomm";  // requests with another community are ignored
};

// Ways to answer badly. The default answers well.
struct SnmpFaults {
    // Non-zero: every GetResponse carries this error-status with error-index 1
    // and, as snmpd does, NULL values (unless error_keeps_values).
    int error_status = 0;
    bool error_keeps_values = false;
    // Objects the agent does not have: noSuchName as described above.
    unsigned missing = 0;
    // Objects answered with a NULL value and error-status 0 (an agent bug).
    unsigned null_values = 0;
    // Objects whose binding is left out of the answer (fewer bindings).
    unsigned omitted = 0;
    // The PDU tag of the answer (0xA2 GetResponse; e.g. 0xA0, 0xA4).
    uint8_t pdu_type = 0xA2;
    // Non-zero: only the first N bytes of each answer are sent.
    size_t truncate_to = 0;
    // Non-zero: a trailing sysDescr.0 binding pads each answer to N bytes.
    size_t oversize_to = 0;
    // Flood: on the first request from a host's socket, `flood` answers of
    // stock agents (foreign sysObjectID) go out first, one every
    // flood_interval_us, starting flood_delay_ms after the request, sent in
    // turn from the addresses in flood_from (the responder's own socket when
    // empty); the device's own answer follows the last of them. Later
    // requests from that socket are not answered.
    int flood = 0;
    int flood_delay_ms = 0;
    int flood_interval_us = 1000;
    std::vector<std::string> flood_from;
    // Delay before every answer of the device itself.
    int answer_delay_ms = 0;
    // Before each answer of its own, a zero-length datagram and one of
    // malformed BER (lengths that run far past its end), as a hostile host
    // would send them.
    bool junk_first = false;
};

struct SnmpOptions {
    std::string address = "127.0.0.1";  // IPv4 address to bind (0.0.0.0 for every interface)
    uint16_t port = 0;                  // 0: any free port (see port()); a device uses 161
    SnmpIdentity identity;
    SnmpFaults faults;
};

// One received datagram as the responder saw it.
struct SnmpRequestRecord {
    std::string from;                 // "a.b.c.d:port"
    size_t size = 0;                  // datagram bytes
    bool well_formed = false;         // a version-1 message with the right community
    uint8_t pdu_type = 0;             // when well formed
    int32_t request_id = 0;           // when well formed
    std::vector<std::string> objects; // the requested object identifiers, dotted
};

// Builders of the messages the responder sends, exposed for tests: the answer
// to a GetRequest for `objects` with id `request_id`, faults applied.
std::vector<uint8_t> build_snmp_answer(const SnmpIdentity& identity, const SnmpFaults& faults,
                                       const std::vector<std::string>& objects, int32_t request_id);
// A GetResponse of a stock agent of another maker for the same objects.
// The malformed datagram of junk_first.
std::vector<uint8_t> build_malformed_datagram();
std::vector<uint8_t> build_foreign_answer(const std::string& sys_name, const std::vector<std::string>& objects,
                                          int32_t request_id, const std::string& community);

// Parses a GetRequest (or any version-1 request PDU); false for anything that
// is not a well-formed message. Fills the record's well_formed, pdu_type,
// request_id and objects; `community` receives the community text.
bool parse_snmp_request(const uint8_t* data, size_t size, SnmpRequestRecord* record, std::string* community);

class SnmpResponder {
public:
    explicit SnmpResponder(SnmpOptions options = {});
    ~SnmpResponder();  // stop()
    SnmpResponder(const SnmpResponder&) = delete;
    SnmpResponder& operator=(const SnmpResponder&) = delete;

    // Binds and starts answering; false (with a reason in *error when given)
    // when the address cannot be bound or the responder already runs.
    bool start(std::string* error = nullptr);
    // Stops the thread and closes the sockets; pending answers are dropped.
    // Safe to call more than once.
    void stop();

    bool running() const { return running_.load(); }
    uint16_t port() const { return port_.load(); }
    int answers_sent() const { return answers_.load(); }          // the device's own answers
    int foreign_answers_sent() const { return foreign_.load(); }  // flood datagrams
    std::vector<SnmpRequestRecord> requests() const;              // every datagram received

private:
    struct Pending;
    void serve();
    void handle(const uint8_t* data, size_t size, const void* from, unsigned from_size);

    SnmpOptions options_;
    std::thread thread_;
    int fd_ = -1;
    int wake_fd_ = -1;
    std::vector<int> flood_fds_;
    std::vector<Pending> pending_;           // serving thread only
    std::vector<std::string> flooded_;       // requesters already flooded (serving thread only)
    mutable std::mutex mutex_;
    std::vector<SnmpRequestRecord> requests_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<uint16_t> port_{0};
    std::atomic<int> answers_{0};
    std::atomic<int> foreign_{0};
};

}  // namespace orvela_sim
