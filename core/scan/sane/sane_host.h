// The host application, detected at initialisation from the name of the
// executable that loaded the backend, and what it changes. The name rules
// live here and nowhere else:
//
//   exactly "EFileApp"              English texts; the feeder entry reads "ADF";
//                                   a flatbed job ends after one page
//   contains "office"               English texts
//   begins "simple-scan" or "wps"   simple-scan style (gIsSimpleScanApp): English
//                                   source and mode names, its own resolutions
#pragma once

extern "C" {
extern char gApplicationName[128];  // basename of the host executable
extern bool gIsSimpleScanApp;        // host is simple-scan style; only ever set
}

// Reads the executable's name into gApplicationName (unchanged when the path
// has no '/') and sets gIsSimpleScanApp for a simple-scan style host.
void detect_host_application();

// The host is exactly "EFileApp".
bool host_is_efile_app();

// The host gets the English texts, never translated ones.
bool host_keeps_english_texts();
