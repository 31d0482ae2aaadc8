// Resolving a device name at open time, also in a process that never searched
// (scanimage -d, saned for a client that opens by name).
#pragma once

#include "common/orvela_types.h"

// The record for `devicename`: from the last search; else, for a "usb://"
// name, from a fresh USB search; for a "socket://" name that orvela.conf
// lists with a model, from the model table without asking the scanner; for
// another "socket://" name, by asking that address (or host name) directly
// (the discovery request, accepted under the same rules as a broadcast
// answer, so a scanner on another subnet can be used by its address); for any
// other name, from a fresh full search. A record found so is added to the
// device list. Null when nothing answers to the name; the empty name never
// matches.
const ORVELA_Scanner* find_device_for_open(const char* devicename);
