// The host program tests/host/host_probe, copied under another executable
// name (the backend tells hosts apart by that name), loading the built
// backend: what it reports of host detection, translation and the name lists.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"

// Its "key=value" lines; `env` adds environment entries, `catalogue` is a
// directory of message catalogues for it to bind (none when empty). The
// program must exit with 0.
using HostFacts = std::map<std::string, std::string>;
HostFacts probe_host(const TempDir& dir, const std::string& exe_name, const std::vector<std::string>& env = {},
                     const std::string& catalogue = "");

// Environment entries for a host whose messages follow LANGUAGE (a language
// code such as "de"; English when empty), as a user's real locale would.
std::vector<std::string> message_locale_env(const char* language = "");
