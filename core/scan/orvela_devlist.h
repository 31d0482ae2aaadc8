// The driver layer's device list: every search runs USB discovery and network
// discovery again and merges their records into one array, USB first, with an
// all-zero record after the last.
#pragma once

#include <sane/sane.h>

#include "core/scan/orvela_types.h"

extern "C" {

extern ORVELA_Scanner* scannerList_all;  // scannerList_all_count + 1 records
extern int scannerList_all_count;

// Runs a full device search; stores the array through device_list and
// returns the number of devices. The array replaces the previous one.
int Drv_get_devices(ORVELA_Scanner** device_list);
// The first record of the last search whose deviceURI equals `devicename` in
// its first 64 characters, or null.
ORVELA_Scanner* getScannerFromName(const char* devicename);
SANE_Status attach(const char* devname);

}  // extern "C"

// Adds `record` to the current list unless a record of the same name is
// there; returns the listed record (null when memory runs out). Used when a
// device is found by asking its address directly.
ORVELA_Scanner* devlist_add(const ORVELA_Scanner& record);
// Releases the array (at exit).
void devlist_release();
