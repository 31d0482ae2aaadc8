#include "common/orvela_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

#include "common/debugtool.h"
#include "common/scanner_description.h"

namespace orvela_config {
namespace {

Settings g_settings;

// Files larger than this are no configuration file; reading stops there.
constexpr std::streamsize kMostBytes = 1 << 20;

std::string_view trim(std::string_view s) {
    while (!s.empty() && isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i]))) ++i;
        const size_t start = i;
        while (i < line.size() && !isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool is_ipv4(const std::string& text) {
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// A DNS host name: dot-separated labels of letters, digits and hyphens, no
// label empty, longer than 63 or starting or ending with a hyphen. An
// all-numeric name is an address, judged by is_ipv4.
bool is_host_name(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    if (name.back() == '.') name.remove_suffix(1);
    bool has_letter = false;
    size_t label = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (label == 0 || label > 63 || name[i - label] == '-' || name[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (!isalnum(c) && c != '-') return false;
        if (isalpha(c)) has_letter = true;
        ++label;
    }
    return has_letter;
}

bool on_off(std::string_view word, bool* value) {
    if (word == "on") {
        *value = true;
        return true;
    }
    if (word == "off") {
        *value = false;
        return true;
    }
    return false;
}

// Applies one line that is neither blank nor a comment; false with `why`
// telling what is wrong when it cannot be used.
bool apply_line(std::string_view line, Settings& s, std::string& why) {
    constexpr std::string_view kSocket = "socket://";
    const std::vector<std::string_view> w = words(line);
    if ((w.size() == 1 || w.size() == 2) && w[0].substr(0, kSocket.size()) == kSocket) {
        std::string address(w[0].substr(kSocket.size()));
        if (!is_ipv4(address) && !is_host_name(address)) {
            why = "\"" + address + "\" is neither an IPv4 address nor a host name";
            return false;
        }
        if (w.size() == 2) {
            const std::string model(w[1]);
            if (FindModelByName(model.c_str()) < 0) {
                why = "\"" + model + "\" is no model name that this backend knows";
                return false;
            }
            const auto known = s.socket_models.find(address);
            if (known != s.socket_models.end() && known->second != model) {
                why = "socket://" + address + " is already listed as " + known->second;
                return false;
            }
            s.socket_models[address] = model;
        }
        if (std::find(s.socket_addresses.begin(), s.socket_addresses.end(), address) == s.socket_addresses.end())
            s.socket_addresses.push_back(std::move(address));
        return true;
    }
    if (w.size() == 3 && w[0] == "discovery" && w[1] == "broadcast") {
        if (on_off(w[2], &s.discovery_broadcast)) return true;
        why = "\"discovery broadcast\" takes on or off";
        return false;
    }
    if (w.size() == 3 && w[0] == "discovery" && w[1] == "wait") {
        const std::string value(w[2]);
        char* end = nullptr;
        const long seconds = strtol(value.c_str(), &end, 10);
        if (end != value.c_str() && *end == '\0' && seconds >= kMinDiscoveryWait && seconds <= kMaxDiscoveryWait) {
            s.discovery_wait_seconds = static_cast<int>(seconds);
            return true;
        }
        why = "\"discovery wait\" takes a whole number of seconds from " + std::to_string(kMinDiscoveryWait) +
              " to " + std::to_string(kMaxDiscoveryWait);
        return false;
    }
    if (w.size() == 2 && w[0] == "usb") {
        if (on_off(w[1], &s.usb_search)) return true;
        why = "\"usb\" takes on or off";
        return false;
    }
    if (w.size() == 3 && w[0] == "scan" && w[1] == "streaming") {
        if (on_off(w[2], &s.scan_streaming)) return true;
        why = "\"scan streaming\" takes on or off";
        return false;
    }
    if (w[0] == "trace") {
        // The rest of the line, so that a directory name may hold spaces. A
        // relative one would follow each frontend's working directory.
        const std::string_view directory = trim(line.substr(w[0].size()));
        if (!directory.empty() && directory.front() == '/') {
            s.trace_directory = std::string(directory);
            return true;
        }
        why = "\"trace\" takes an absolute directory";
        return false;
    }
    why = "unknown setting \"" + std::string(line) + "\"";
    return false;
}

}  // namespace

std::vector<std::string> search_directories(const char* sane_config_dir) {
    if (sane_config_dir == nullptr) return {kDefaultDirectory};
    std::vector<std::string> dirs;
    std::string_view rest(sane_config_dir);
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty()) dirs.emplace_back(dir);
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    const std::string_view all(sane_config_dir);
    if (!all.empty() && all.back() == ':') dirs.emplace_back(kDefaultDirectory);
    return dirs;
}

Settings parse(std::string_view text, const std::string& file) {
    Settings s;
    s.file = file;
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        std::string why;
        if (!apply_line(line, s, why)) DBG_WARN("%s:%d: %s; line ignored\n", file.c_str(), number, why.c_str());
    }
    return s;
}

void load() {
    try {
        Settings fresh;
        for (const std::string& dir : search_directories(getenv("SANE_CONFIG_DIR"))) {
            const std::string path = dir + "/" + kFileName;
            std::ifstream in(path, std::ios::binary);
            if (!in) continue;
            std::string text(static_cast<size_t>(kMostBytes), '\0');
            in.read(text.data(), kMostBytes);
            text.resize(static_cast<size_t>(in.gcount()));
            DBG_INFO("Configuration file: %s\n", path.c_str());
            fresh = parse(text, path);
            break;
        }
        g_settings = std::move(fresh);
    } catch (const std::exception&) {
        DBG_WARN("Configuration not read: out of memory\n");
        g_settings = Settings{};  // moving an empty record allocates nothing
    }
}

const Settings& current() { return g_settings; }

void set_current(const Settings& settings) { g_settings = settings; }

}  // namespace orvela_config
