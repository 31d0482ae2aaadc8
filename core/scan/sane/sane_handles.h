// The device list and handles (sane_orvela_get_devices, open, close): the
// front end's device descriptions handed out by sane_orvela_get_devices.
#pragma once

// Releases the descriptions of the last search (at exit).
void sane_devices_release();
