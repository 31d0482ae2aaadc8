// orvela-scanner-sim: the simulated scanner's TCP data service as a program.
// Runs until SIGTERM or SIGINT; see --help for the behaviour switches. With
// --replay FILE it is the device of a wire trace instead, and ends when the
// trace has been played or the host sent something else.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/scanner_description.h"
#include "tools/scanner_sim/replay_model.h"
#include "tools/scanner_sim/sim_snmp_responder.h"
#include "tools/scanner_sim/sim_tcp_server.h"

namespace {

using orvela_sim::AbortMode;
using orvela_sim::JpegFault;
using orvela_sim::SimScript;

const char kUsage[] =
    "usage: orvela-scanner-sim [options]\n"
    "  --listen ADDR             IPv4 address to listen on (default 0.0.0.0)\n"
    "  --port N                  TCP port (default 53010; 0 picks a free one)\n"
    "  --pidfile F               write the process id to F once listening\n"
    "  --log F                   append every received command to F\n"
    "  --replay FILE             be the device of the wire trace FILE (each connection plays\n"
    "                            its next session; the switches of the script below do not\n"
    "                            apply); exits 0 when every session was played, 1 at the\n"
    "                            first difference (told on stderr and in the --log file),\n"
    "                            2 when FILE is no valid trace\n"
    "  --band-log F              append a line per page band sent in full to F:\n"
    "                            page=K jpeg_bytes=N at=SECONDS (CLOCK_MONOTONIC)\n"
    "  --sheets N                sheets in the feeder\n"
    "  --flatbed-adf B           feeder byte of a flatbed page's end header\n"
    "  --empty-feeder-status S   status of a feeder scan request while the feeder is empty\n"
    "  --adf-query-byte B        answer every feeder query with B\n"
    "  --adf-query-status S      status byte of every feeder-query reply\n"
    "  --busy N                  answer the next N locks with 2 (busy)\n"
    "  --warming N               then the next N locks with 3 (warming up)\n"
    "  --warm-left T             WarmLeftTime byte of those answers\n"
    "  --lock-status S[,S...]    statuses of the following locks (the last one repeats)\n"
    "  --lock-adf B              feeder byte of every lock reply (14 cover open, 15 jam)\n"
    "  --unlock-status S[,S...]  statuses of the unlocks (the last one repeats)\n"
    "  --no-require-lock         accept scan parameters without a lock\n"
    "  --params-status S[,S...]  statuses of the scan-parameter replies (the last one repeats)\n"
    "  --params-adf K:B          feeder byte B in the reply to the scan parameters of page K\n"
    "  --end-codes C[,C...]      completion code of pages 1, 2, ... (0 after)\n"
    "  --jam-at-page K           page K stops halfway, feeder byte 15\n"
    "  --cover-open-at-page K    page K stops halfway, feeder byte 14\n"
    "  --right-rear              positions count from the bed's right edge\n"
    "  --quality Q               JPEG quality (default 80)\n"
    "  --jpeg-fault KIND         truncated | corrupt-header | corrupt-data | bad-marker\n"
    "  --jpeg-fault-page K       only page K gets the fault (default every page)\n"
    "  --band-size N             data bytes per band (default 65536)\n"
    "  --band-pattern N[,N...]   band sizes used in turn\n"
    "  --unknown-header-at-band N  insert a header with an unknown identifier before band N\n"
    "  --unknown-header-id C     its identifier byte (default 'q')\n"
    "  --unknown-header-page K   only on page K\n"
    "  --reply-delay MS          delay before every reply\n"
    "  --page-delay MS           delay before the first header of a page\n"
    "  --band-delay MS           delay before every band\n"
    "  --wrong-id CMD[:BYTE[:N]] replies to command CMD (l, u, f, i) carry BYTE (default 'x'), N times (-1 always)\n"
    "  --stall-after-bytes N     stop sending after N bytes of a page stream\n"
    "  --stall-on-command CMD    stall instead of replying to CMD\n"
    "  --stall-page K            only page K stalls\n"
    "  --stall-ms MS             length of a stall (default: until the connection ends)\n"
    "  --drop-after-bytes N      close the connection after N bytes of a page stream\n"
    "  --drop-on-command CMD     close the connection instead of replying to CMD\n"
    "  --drop-page K             only page K is dropped\n"
    "  --reset-on-drop           drop with a TCP reset\n"
    "  --abort-mode MODE         stop (default) | rest | ignore\n"
    "SNMP agent (texts take the escapes \\n \\0 \\\\ \\xHH; OBJS is a list of\n"
    "sysname, objectid, deviceid, serial or all):\n"
    "  --snmp                    answer SNMPv1 GetRequests (community rdcomm) on UDP\n"
    "  --snmp-port N             UDP port (default 161; 0 picks a free one)\n"
    "  --snmp-listen ADDR        IPv4 address for SNMP (default: that of --listen)\n"
    "  --model NAME              a model-table row: its sysObjectID (0.0 when it has\n"
    "                            none), its name as MDL and sysName, its reference point\n"
    "  --sys-name TEXT           sysName.0\n"
    "  --sys-object-id OID       sysObjectID.0 (dotted; empty for an empty identifier)\n"
    "  --device-id TEXT          the IEEE 1284 device ID (default MFG:Orvela;MDL:model;CMD:PCL;)\n"
    "  --serial TEXT             prtGeneralSerialNumber.1\n"
    "  --community TEXT          the community answered (default rdcomm)\n"
    "  --snmp-error-status N     every answer carries error-status N, values NULL\n"
    "  --snmp-error-keep-values  ... but with the values\n"
    "  --snmp-missing OBJS       objects absent: noSuchName, values NULL (as snmpd)\n"
    "  --snmp-null OBJS          NULL values with error-status 0\n"
    "  --snmp-omit OBJS          bindings left out of the answer\n"
    "  --snmp-pdu TAG            PDU tag of the answer (default 0xA2)\n"
    "  --snmp-truncate N         send only the first N bytes of each answer\n"
    "  --snmp-oversize N         pad each answer to N bytes with a trailing binding\n"
    "  --snmp-flood N            N answers of foreign agents before the own answer\n"
    "  --snmp-flood-delay MS     ... starting MS after the host's first request\n"
    "  --snmp-flood-interval US  ... one every US microseconds (default 1000)\n"
    "  --snmp-flood-from A[,A]   ... sent in turn from these local addresses\n"
    "  --snmp-answer-delay MS    delay before each own answer\n"
    "  --snmp-junk               before each own answer: an empty datagram and one\n"
    "                            of malformed BER\n";

bool parse_int(std::string_view text, long long& value) {
    if (text.empty()) return false;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && ptr == text.data() + text.size();
}

bool parse_list(std::string_view text, std::vector<long long>& values) {
    values.clear();
    while (!text.empty()) {
        size_t comma = text.find(',');
        long long v;
        if (!parse_int(text.substr(0, comma), v)) return false;
        values.push_back(v);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return !values.empty();
}

// A command given as its letter or as a number.
bool parse_command_id(std::string_view text, uint8_t& id) {
    long long v;
    if (text.size() == 1 && !(text[0] >= '0' && text[0] <= '9')) {
        id = static_cast<uint8_t>(text[0]);
        return true;
    }
    if (!parse_int(text, v) || v < 0 || v > 255) return false;
    id = static_cast<uint8_t>(v);
    return true;
}

// Statuses for the next commands; the last one also answers every later one.
void set_plan(orvela_sim::StatusPlan& plan, const std::vector<long long>& values) {
    plan.next.clear();
    for (size_t i = 0; i + 1 < values.size(); ++i) plan.next.push_back(static_cast<uint8_t>(values[i]));
    plan.otherwise = static_cast<uint8_t>(values.back());
}

// Texts for the SNMP agent: \\n, \\0, \\\\ and \\xHH stand for their bytes.
bool unescape(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            long long v = 0;
            if (i + 2 >= text.size() || !parse_int(std::string("0x") + std::string(text.substr(i + 1, 2)), v) || v < 0)
                return false;
            out += static_cast<char>(v);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

// A list of the four discovery objects as a mask.
bool parse_objects(std::string_view text, unsigned& mask) {
    mask = 0;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        if (name == "sysname") mask |= orvela_sim::kObjSysName;
        else if (name == "objectid") mask |= orvela_sim::kObjSysObjectId;
        else if (name == "deviceid") mask |= orvela_sim::kObjDeviceId;
        else if (name == "serial") mask |= orvela_sim::kObjSerial;
        else if (name == "all") mask |= orvela_sim::kObjAll;
        else return false;
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return mask != 0;
}

bool is_dotted(std::string_view text) {
    if (text.empty()) return true;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit) return false;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return digit;
}

}  // namespace

int main(int argc, char** argv) {
    orvela_sim::ServerOptions options;
    options.address = "0.0.0.0";
    options.port = 53010;
    SimScript script;
    std::string pidfile, logfile, band_logfile, replay_file;
    bool snmp = false;
    long long snmp_port = 161;
    std::string snmp_listen, model_name;
    std::optional<std::string> sys_name, sys_object_id, device_id, serial;
    orvela_sim::SnmpOptions snmp_options;
    orvela_sim::SnmpFaults& faults = snmp_options.faults;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        auto flag = [&](std::string_view name) { return arg == name; };
        // Flags without a value.
        if (flag("--right-rear")) {
            script.right_rear_reference = true;
            continue;
        }
        if (flag("--no-require-lock")) {
            script.require_lock = false;
            continue;
        }
        if (flag("--reset-on-drop")) {
            options.reset_on_drop = true;
            continue;
        }
        if (flag("--snmp")) {
            snmp = true;
            continue;
        }
        if (flag("--snmp-error-keep-values")) {
            faults.error_keeps_values = true;
            continue;
        }
        if (flag("--snmp-junk")) {
            faults.junk_first = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "orvela-scanner-sim: %s needs a value (see --help)\n", argv[i]);
            return 2;
        }
        const std::string_view value = argv[++i];
        long long n = 0;
        std::vector<long long> list;
        bool ok = true;
        auto number = [&](long long lo, long long hi) { return (ok = parse_int(value, n) && n >= lo && n <= hi); };
        auto byte = [&]() { return number(0, 255); };
        auto count = [&]() { return number(0, 1LL << 31); };
        auto ms = [&]() { return number(0, 3600 * 1000); };

        if (flag("--listen")) options.address = std::string(value);
        else if (flag("--port")) { if (number(0, 65535)) options.port = static_cast<uint16_t>(n); }
        else if (flag("--pidfile")) pidfile = value;
        else if (flag("--log")) logfile = value;
        else if (flag("--replay")) replay_file = value;
        else if (flag("--band-log")) band_logfile = value;
        else if (flag("--sheets")) { if (count()) script.sheets = static_cast<int>(n); }
        else if (flag("--flatbed-adf")) { if (byte()) script.flatbed_adf_byte = static_cast<uint8_t>(n); }
        else if (flag("--empty-feeder-status")) { if (byte()) script.empty_feeder_status = static_cast<uint8_t>(n); }
        else if (flag("--adf-query-byte")) { if (byte()) script.adf_query_byte = static_cast<uint8_t>(n); }
        else if (flag("--adf-query-status")) { if ((ok = parse_list(value, list))) set_plan(script.adf_query_status, list); }
        else if (flag("--busy")) { if (count()) script.busy_locks = static_cast<int>(n); }
        else if (flag("--warming")) { if (count()) script.warming_locks = static_cast<int>(n); }
        else if (flag("--warm-left")) { if (byte()) script.warm_left_time = static_cast<uint8_t>(n); }
        else if (flag("--lock-status")) { if ((ok = parse_list(value, list))) set_plan(script.lock_status, list); }
        else if (flag("--lock-adf")) { if (byte()) script.lock_adf_byte = static_cast<uint8_t>(n); }
        else if (flag("--unlock-status")) { if ((ok = parse_list(value, list))) set_plan(script.unlock_status, list); }
        else if (flag("--params-status")) { if ((ok = parse_list(value, list))) set_plan(script.params_status, list); }
        else if (flag("--params-adf")) {
            size_t colon = value.find(':');
            long long page = 0, b = 0;
            ok = colon != std::string_view::npos && parse_int(value.substr(0, colon), page) &&
                 parse_int(value.substr(colon + 1), b) && page > 0 && b >= 0 && b <= 255;
            if (ok) script.params_adf_byte[static_cast<int>(page)] = static_cast<uint8_t>(b);
        }
        else if (flag("--end-codes")) {
            if ((ok = parse_list(value, list)))
                for (long long c : list) script.end_codes.push_back(static_cast<uint8_t>(c));
        }
        else if (flag("--jam-at-page")) { if (count()) script.jam_at_page = static_cast<int>(n); }
        else if (flag("--cover-open-at-page")) { if (count()) script.cover_open_at_page = static_cast<int>(n); }
        else if (flag("--quality")) { if (number(10, 100)) script.jpeg_quality = static_cast<int>(n); }
        else if (flag("--jpeg-fault")) {
            if (value == "truncated") script.jpeg_fault = JpegFault::Truncated;
            else if (value == "corrupt-header") script.jpeg_fault = JpegFault::CorruptHeader;
            else if (value == "corrupt-data") script.jpeg_fault = JpegFault::CorruptData;
            else if (value == "bad-marker") script.jpeg_fault = JpegFault::BadMarker;
            else ok = false;
        }
        else if (flag("--jpeg-fault-page")) { if (count()) script.jpeg_fault_page = static_cast<int>(n); }
        else if (flag("--band-size")) { if (number(1, 0xFFFFFFFFLL)) script.band_size = static_cast<uint32_t>(n); }
        else if (flag("--band-pattern")) {
            if ((ok = parse_list(value, list)))
                for (long long b : list) {
                    if (b < 1 || b > 0xFFFFFFFFLL) ok = false;
                    else script.band_pattern.push_back(static_cast<uint32_t>(b));
                }
        }
        else if (flag("--unknown-header-at-band")) { if (count()) script.unknown_header_before_band = static_cast<int>(n); }
        else if (flag("--unknown-header-id")) ok = parse_command_id(value, script.unknown_header_id);
        else if (flag("--unknown-header-page")) { if (count()) script.unknown_header_page = static_cast<int>(n); }
        else if (flag("--reply-delay")) { if (ms()) script.reply_delay_ms = static_cast<int>(n); }
        else if (flag("--page-delay")) { if (ms()) script.page_delay_ms = static_cast<int>(n); }
        else if (flag("--band-delay")) { if (ms()) script.band_delay_ms = static_cast<int>(n); }
        else if (flag("--wrong-id")) {
            std::string_view rest = value;
            size_t colon = rest.find(':');
            ok = parse_command_id(rest.substr(0, colon), script.wrong_id_command);
            if (ok && colon != std::string_view::npos) {
                rest.remove_prefix(colon + 1);
                size_t colon2 = rest.find(':');
                ok = parse_command_id(rest.substr(0, colon2), script.wrong_id_value);
                if (ok && colon2 != std::string_view::npos) {
                    long long times = 0;
                    ok = parse_int(rest.substr(colon2 + 1), times) && times >= -1;
                    script.wrong_id_times = static_cast<int>(times);
                }
            }
        }
        else if (flag("--stall-after-bytes")) { if (count()) script.stall_after_page_bytes = n; }
        else if (flag("--stall-on-command")) ok = parse_command_id(value, script.stall_on_command);
        else if (flag("--stall-page")) { if (count()) script.stall_page = static_cast<int>(n); }
        else if (flag("--stall-ms")) { if (ms()) script.stall_ms = static_cast<int>(n); }
        else if (flag("--drop-after-bytes")) { if (count()) script.drop_after_page_bytes = n; }
        else if (flag("--drop-on-command")) ok = parse_command_id(value, script.drop_on_command);
        else if (flag("--drop-page")) { if (count()) script.drop_page = static_cast<int>(n); }
        else if (flag("--abort-mode")) {
            if (value == "stop") script.abort_mode = AbortMode::StopWithEnd;
            else if (value == "rest") script.abort_mode = AbortMode::SendRest;
            else if (value == "ignore") script.abort_mode = AbortMode::Ignore;
            else ok = false;
        }
        else if (flag("--snmp-port")) { if (number(0, 65535)) snmp_port = n; }
        else if (flag("--snmp-listen")) snmp_listen = value;
        else if (flag("--model")) model_name = value;
        else if (flag("--sys-name")) { std::string t; if ((ok = unescape(value, t))) sys_name = t; }
        else if (flag("--sys-object-id")) { if ((ok = is_dotted(value))) sys_object_id = std::string(value); }
        else if (flag("--device-id")) { std::string t; if ((ok = unescape(value, t))) device_id = t; }
        else if (flag("--serial")) { std::string t; if ((ok = unescape(value, t))) serial = t; }
        else if (flag("--community")) ok = unescape(value, snmp_options.identity.community);
        else if (flag("--snmp-error-status")) { if (number(0, 0x7FFFFFFF)) faults.error_status = static_cast<int>(n); }
        else if (flag("--snmp-missing")) ok = parse_objects(value, faults.missing);
        else if (flag("--snmp-null")) ok = parse_objects(value, faults.null_values);
        else if (flag("--snmp-omit")) ok = parse_objects(value, faults.omitted);
        else if (flag("--snmp-pdu")) { if (byte()) faults.pdu_type = static_cast<uint8_t>(n); }
        else if (flag("--snmp-truncate")) { if (number(1, 65507)) faults.truncate_to = static_cast<size_t>(n); }
        else if (flag("--snmp-oversize")) { if (number(1, 65507)) faults.oversize_to = static_cast<size_t>(n); }
        else if (flag("--snmp-flood")) { if (number(0, 100000)) faults.flood = static_cast<int>(n); }
        else if (flag("--snmp-flood-delay")) { if (ms()) faults.flood_delay_ms = static_cast<int>(n); }
        else if (flag("--snmp-flood-interval")) { if (number(0, 10000000)) faults.flood_interval_us = static_cast<int>(n); }
        else if (flag("--snmp-flood-from")) {
            std::string_view rest = value;
            faults.flood_from.clear();
            ok = !rest.empty();
            while (ok && !rest.empty()) {
                const size_t comma = rest.find(',');
                faults.flood_from.emplace_back(rest.substr(0, comma));
                ok = !faults.flood_from.back().empty();
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 1);
            }
        }
        else if (flag("--snmp-answer-delay")) { if (ms()) faults.answer_delay_ms = static_cast<int>(n); }
        else {
            std::fprintf(stderr, "orvela-scanner-sim: unknown option %s (see --help)\n", argv[i - 1]);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "orvela-scanner-sim: bad value for %s: %s\n", argv[i - 1], argv[i]);
            return 2;
        }
    }

    // The SNMP identity: the model's row first, then what was given explicitly.
    orvela_sim::SnmpIdentity& identity = snmp_options.identity;
    if (!model_name.empty()) {
        int row = -1;
        for (int i = 0; scanner_description_list[i].modelName != nullptr; ++i)
            if (model_name == scanner_description_list[i].modelName) {
                row = i;
                break;
            }
        if (row < 0) {
            std::fprintf(stderr, "orvela-scanner-sim: no model %s in the model table\n", model_name.c_str());
            return 2;
        }
        const Scanner_Description& d = scanner_description_list[row];
        identity.object_id = d.mibOID[0] != '\0' ? d.mibOID : "0.0";
        identity.sys_name = d.modelName;
        identity.device_id = std::string("MFG:Orvela;MDL:") + d.modelName + ";CMD:PCL;";
        script.right_rear_reference = d.isRightRearBP;
    }
    if (sys_name) identity.sys_name = *sys_name;
    if (sys_object_id) identity.object_id = *sys_object_id;
    if (device_id) identity.device_id = *device_id;
    if (serial) identity.serial = *serial;
    snmp_options.address = snmp_listen.empty() ? options.address : snmp_listen;
    snmp_options.port = static_cast<uint16_t>(snmp_port);

    // A trace is read whole before anything listens: a bad one is refused at once.
    std::shared_ptr<orvela_sim::ReplayModel> replay;
    FILE* log = nullptr;
    if (!replay_file.empty()) {
        orvela_sim::TraceError bad;
        const std::optional<orvela_sim::Trace> trace = orvela_sim::read_trace_file(replay_file, &bad);
        if (!trace) {
            if (bad.line > 0)
                std::fprintf(stderr, "orvela-scanner-sim: %s:%d: %s\n", replay_file.c_str(), bad.line, bad.reason.c_str());
            else
                std::fprintf(stderr, "orvela-scanner-sim: %s: %s\n", replay_file.c_str(), bad.reason.c_str());
            return 2;
        }
        orvela_sim::ReplayOptions replay_options;
        replay_options.log = [&log](const std::string& line) {
            std::fprintf(stderr, "orvela-scanner-sim: %s\n", line.c_str());
            if (log) {
                std::fprintf(log, "%s\n", line.c_str());
                std::fflush(log);
            }
        };
        replay = std::make_shared<orvela_sim::ReplayModel>(orvela_sim::replay_sessions(*trace), replay_options);
        if (replay->session_count() == 0) {
            std::fprintf(stderr, "orvela-scanner-sim: %s: no session to replay\n", replay_file.c_str());
            return 2;
        }
    }

    // Signals are taken synchronously by this thread; the serving thread,
    // started after this, inherits the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The pid file is written before the "listening" line, so whoever waits for
    // that line finds both.
    script.record_sent_bands = !band_logfile.empty();
    auto model = std::make_shared<orvela_sim::ScannerModel>(script);
    std::shared_ptr<orvela_sim::WireDevice> device = model;
    if (replay) device = replay;
    orvela_sim::TcpScannerServer server(device, options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "orvela-scanner-sim: cannot listen on %s:%u: %s\n", options.address.c_str(),
                     options.port, error.c_str());
        return 1;
    }
    orvela_sim::SnmpResponder agent(snmp_options);
    if (snmp && !agent.start(&error)) {
        std::fprintf(stderr, "orvela-scanner-sim: cannot answer SNMP on %s:%u: %s\n", snmp_options.address.c_str(),
                     snmp_options.port, error.c_str());
        return 1;
    }
    if (!logfile.empty()) {
        log = std::fopen(logfile.c_str(), "ae");
        if (!log) {
            std::fprintf(stderr, "orvela-scanner-sim: cannot write %s: %s\n", logfile.c_str(), std::strerror(errno));
            return 1;
        }
    }

    FILE* band_log = nullptr;
    if (!band_logfile.empty()) {
        band_log = std::fopen(band_logfile.c_str(), "ae");
        if (!band_log) {
            std::fprintf(stderr, "orvela-scanner-sim: cannot write %s: %s\n", band_logfile.c_str(), std::strerror(errno));
            return 1;
        }
    }

    if (!pidfile.empty()) {
        // Written whole under another name and renamed: a reader never sees it half written.
        const std::string temp = pidfile + ".tmp";
        FILE* f = std::fopen(temp.c_str(), "we");
        bool written = f && std::fprintf(f, "%ld\n", static_cast<long>(getpid())) > 0;
        if (f && std::fclose(f) != 0) written = false;
        if (!written || std::rename(temp.c_str(), pidfile.c_str()) != 0) {
            std::fprintf(stderr, "orvela-scanner-sim: cannot write %s: %s\n", pidfile.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (snmp) std::printf("orvela-scanner-sim answering SNMP on %s:%u\n", snmp_options.address.c_str(), agent.port());
    std::printf("orvela-scanner-sim listening on %s:%u\n", options.address.c_str(), server.port());
    std::fflush(stdout);
    size_t logged = 0;
    auto write_log = [&] {
        if (!log || replay) return;
        auto commands = model->commands();
        for (; logged < commands.size(); ++logged) std::fprintf(log, "%s\n", orvela_sim::describe(commands[logged]).c_str());
        std::fflush(log);
    };
    auto write_band_log = [&] {
        if (!band_log) return;
        for (const orvela_sim::SentBand& b : model->take_sent_bands())
            std::fprintf(band_log, "page=%d jpeg_bytes=%zu at=%.6f\n", b.page, b.jpeg_bytes,
                         std::chrono::duration<double>(b.when.time_since_epoch()).count());
        std::fflush(band_log);
    };
    // The agent's activity, for scripts that check it was asked and answered.
    int snmp_requests = 0, snmp_answers = 0, snmp_foreign = 0;
    auto report_snmp = [&] {
        if (!snmp) return;
        const int requests = static_cast<int>(agent.requests().size()), answers = agent.answers_sent(),
                  foreign = agent.foreign_answers_sent();
        if (requests == snmp_requests && answers == snmp_answers && foreign == snmp_foreign) return;
        snmp_requests = requests;
        snmp_answers = answers;
        snmp_foreign = foreign;
        std::printf("orvela-scanner-sim SNMP: %d datagrams received, %d answers sent, %d foreign answers sent\n",
                    requests, answers, foreign);
        std::fflush(stdout);
    };
    for (;;) {
        timespec tick{0, 20 * 1000 * 1000};  // the log follows the commands closely
        int sig = sigtimedwait(&stop_signals, nullptr, &tick);
        write_log();
        write_band_log();
        report_snmp();
        if (sig == SIGTERM || sig == SIGINT) break;
        // A replay ends with its last session, or once the connection that
        // differed from the trace is gone.
        if (replay && (replay->finished() || (replay->failed() && server.open_connections() == 0))) break;
    }
    int status = 0;
    if (replay && !replay->finished()) {
        const std::string why = replay->unfinished_reason();
        std::fprintf(stderr, "orvela-scanner-sim: replay of %s not played to its end: %s\n", replay_file.c_str(), why.c_str());
        if (log) std::fprintf(log, "replay not played to its end: %s\n", why.c_str());
        status = 1;
    } else if (replay) {
        std::fprintf(stderr, "orvela-scanner-sim: replay of %s: all %d sessions played\n", replay_file.c_str(),
                     replay->session_count());
    }
    agent.stop();
    server.stop();
    write_log();
    write_band_log();
    if (log) std::fclose(log);
    if (band_log) std::fclose(band_log);
    if (!pidfile.empty()) unlink(pidfile.c_str());
    return status;
}
