// The backend's configuration file, orvela.conf, looked for the way libsane's
// own backends look for theirs: in each directory of SANE_CONFIG_DIR in order
// (a trailing ':' adds the default directory after them), or in /etc/sane.d
// when the variable is unset. The first file found is read; without one every
// setting keeps its default, which is the behaviour of a backend without any
// configuration.
//
//   # comment                       blank lines and comments are ignored
//   socket://ADDRESS                also ask this IPv4 address or host name
//   socket://ADDRESS MODEL          ... and list it as MODEL (a model table
//                                   name) when it does not answer SNMP
//   discovery broadcast on|off      the SNMP broadcast of a device search
//   discovery wait SECONDS          quiet time that ends a search (1..30)
//   usb on|off                      the USB walk of a device search
//   scan streaming on|off           serve pages while the scanner sends them
//   trace DIRECTORY                 write a wire trace of each device there
//                                   (an absolute path; off when not given)
//
// A line that cannot be used is logged as a warning with its file and line
// and skipped; it never makes initialisation fail.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvela_config {

constexpr const char* kFileName = "orvela.conf";
constexpr const char* kDefaultDirectory = "/etc/sane.d";
constexpr int kDefaultDiscoveryWait = 5;
constexpr int kMinDiscoveryWait = 1;
constexpr int kMaxDiscoveryWait = 30;

struct Settings {
    bool scan_streaming = false;
    bool discovery_broadcast = true;
    int discovery_wait_seconds = kDefaultDiscoveryWait;
    bool usb_search = true;
    std::vector<std::string> socket_addresses;  // dotted IPv4 or host names, no duplicates
    // The model named on an address's line, by address as written (addresses
    // listed without one have no entry).
    std::map<std::string, std::string> socket_models;
    std::string trace_directory;                // empty: no wire trace
    std::string file;                           // the file read; empty when none was found
};

// The directories searched, in order, for a SANE_CONFIG_DIR value (null when
// the variable is unset).
std::vector<std::string> search_directories(const char* sane_config_dir);

// Settings from the text of a configuration file; `file` names it in warnings.
Settings parse(std::string_view text, const std::string& file);

// Reads the configuration for this process (at sane_orvela_init); a later
// call reads it again. Never throws: without memory the defaults stay.
void load();

// The settings of the last load (defaults before the first).
const Settings& current();

// Replaces the current settings (tests).
void set_current(const Settings& settings);

}  // namespace orvela_config
