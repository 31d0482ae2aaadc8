// Process-wide state of the SANE front end, shared by every open handle.
#pragma once

#include <cstdio>

#include <sane/sane.h>

extern "C" {

extern char gApplicationName[128];  // basename of the host executable
extern bool gIsSimpleScanApp;        // host is simple-scan style; only ever set

// Null-terminated name lists that the string options point to. Their heap
// copies are owned by sane_name_lists.cpp.
extern SANE_String_Const mode_list[4];
extern SANE_String_Const source_list[3];
extern SANE_String_Const paperSize_list[8];

extern FILE* debug_file;           // the log stream, when logging is on
extern const char* kScanFilePath;  // the temporary page file
extern int sanei_debug_orvela;     // the SANE_DEBUG_ORVELA level of the last init

// Translates a text of the option lists and titles in the domain
// "sane_orvela_drv"; hosts that must stay English get it unchanged.
const char* TL(const char* text);

}  // extern "C"

// Marks a text for the translation catalogue where it is written down, away
// from the TL call that translates it when it is shown.
#define N_(text) text
