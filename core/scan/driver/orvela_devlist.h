// The driver layer's device list: every search runs USB discovery and network
// discovery again and merges their records into one array, USB first, with an
// all-zero record after the last.
#pragma once

#include <sane/sane.h>

#include "common/orvela_types.h"

extern "C" {

extern ORVELA_Scanner* scannerList_all;  // scannerList_all_count + 1 records
extern int scannerList_all_count;

// Runs a full device search (USB unless orvela.conf switches it off, then the
// network); stores the array through device_list and returns the number of
// devices. The array replaces the previous one as the current list.
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
// Tells the list that the front end's device descriptions now point into
// `list`: it stays allocated, also once a later search or find has replaced
// it, until another array is pinned or exit. The array pinned before goes.
void devlist_pin(const ORVELA_Scanner* list);
// Releases the arrays (at exit).
void devlist_release();
