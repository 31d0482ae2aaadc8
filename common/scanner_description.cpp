#include "common/scanner_description.h"

#include <cstring>

// Row order matters: every lookup returns the first match. Object identifiers
// live under the maker's enterprise prefix or under the two partner subtrees
// (96122, 98847).
#define MAKER ORVELA_ENTERPRISE_OID ".1."
#define PARTNER_A "1.3.6.1.4.1.96122.3."
#define PARTNER_B "1.3.6.1.4.1.98847.4."

extern "C" const Scanner_Description scanner_description_list[49] = {
    // name            vendor  product  sysObjectID        ADF    right-rear
    {"OR-M1020",       0x5E5A, 0x1001, MAKER "101",       false, false},
    {"OR-M1025w",      0x5E5A, 0x1002, MAKER "102",       false, false},
    {"OR-M1120",       0x5E5A, 0x1003, "",                false, false},
    {"OR-M1125w",      0x5E5A, 0x1004, "",                false, false},
    {"OR-M1220nw",     0x5E5A, 0x1005, MAKER "103",       false, false},
    {"OR-M2270fdw",    0x5E5A, 0x1006, MAKER "104",       true,  true},
    {"OR-M2270fd",     0x5E5A, 0x1007, MAKER "105",       true,  true},
    {"OR-P1400",       0x5E5A, 0x1008, PARTNER_A "201",   false, false},
    {"OR-P1405n",      0x5E5A, 0x1009, PARTNER_A "202",   false, false},
    {"OR-P1410dn",     0x5E5A, 0x100A, "",                false, false},
    {"OR-P1500dn",     0x5E5A, 0x100B, PARTNER_A "203",   false, false},
    {"OR-S300",        0x5E5A, 0x100C, "",                false, false},
    {"OR-S310",        0x5E5A, 0x100D, "",                false, false},
    {"OR-M1320",       0x5E5A, 0x100E, MAKER "106",       false, false},
    {"OR-M1330w",      0x5E5A, 0x100F, PARTNER_B "301",   false, false},
    {"OR-M1400",       0x5E5A, 0x1010, PARTNER_B "302",   false, false},
    {"OR-M1410",       0x5E5A, 0x1011, PARTNER_B "303",   false, false},
    {"OR-M1420w",      0x5E5A, 0x1012, "",                false, false},
    {"OR-M1500nw",     0x5E5A, 0x1013, PARTNER_B "304",   false, false},
    {"OR-M1510nw",     0x5E5A, 0x1014, PARTNER_B "305",   false, false},
    {"OR-M1600",       0x5E5A, 0x1015, "",                false, false},
    {"OR-M1610",       0x5E5A, 0x1016, PARTNER_B "306",   false, false},
    {"OR-M1620dn",     0x5E5A, 0x1017, MAKER "107",       false, false},
    {"OR-M1630dn",     0x5E5A, 0x1018, "",                false, false},
    {"OR-M1320",       0x5E5B, 0x2001, MAKER "106",       false, false},
    {"OR-M2800fdn",    0x5E5B, 0x2002, MAKER "108",       true,  true},
    {"OR-M2810fdn",    0x5E5B, 0x2003, MAKER "109",       true,  true},
    {"OR-P2100",       0x5E5B, 0x2004, PARTNER_A "204",   false, false},
    {"OR-P2110",       0x5E5B, 0x2005, PARTNER_A "205",   false, false},
    {"OR-P2120n",      0x5E5B, 0x2006, "",                false, false},
    {"OR-M2900",       0x5E5B, 0x2007, PARTNER_B "307",   false, false},
    {"OR-M2910",       0x5E5B, 0x2008, PARTNER_B "308",   false, false},
    {"OR-M2920w",      0x5E5B, 0x2009, PARTNER_B "309",   false, false},
    {"OR-M2930w",      0x5E5B, 0x200A, "",                false, false},
    {"OR-M3000",       0x5E5A, 0x1019, MAKER "110",       false, false},
    {"OR-M3010",       0x5E5A, 0x101A, PARTNER_A "206",   false, false},
    {"OR-M3020",       0x5E5A, 0x101B, PARTNER_B "310",   false, false},
    {"OR-M1330w",      0x5E5B, 0x200B, PARTNER_A "203",   false, false},
    {"OR-M3100fdw",    0x5E5B, 0x200C, MAKER "111",       true,  true},
    {"OR-M3110fdw",    0x5E5B, 0x200D, MAKER "112",       true,  true},
    {"OR-M3120fdw",    0x5E5B, 0x200E, PARTNER_B "311",   true,  true},
    {"OR-P3200",       0x5E5B, 0x200F, PARTNER_A "207",   false, false},
    {"OR-P3210",       0x5E5B, 0x2010, PARTNER_A "208",   false, false},
    {"OR-M3300",       0x5E5B, 0x2011, PARTNER_B "312",   false, false},
    {"OR-M3310",       0x5E5B, 0x2012, PARTNER_B "313",   false, false},
    {"OR-M3320",       0x5E5B, 0x2013, PARTNER_B "314",   false, false},
    {"OR-M3330nw",     0x5E5B, 0x2014, MAKER "113",       false, false},
    {"OR-M3340nw",     0x5E5B, 0x2015, PARTNER_B "315",   false, false},
    {nullptr,          0,      0,      nullptr,           false, false},
};

namespace {

// Index of the first row whose text (picked by `field`) begins with `key`;
// the walk ends at the first row whose text is null.
int match_leading_text(const char* key, const char* Scanner_Description::*field) {
    const size_t n = strlen(key);
    for (int i = 0; scanner_description_list[i].*field != nullptr; ++i) {
        if (strncmp(scanner_description_list[i].*field, key, n) == 0) return i;
    }
    return -1;
}

}  // namespace

extern "C" {

int MatchUSBProduct(int vendorId, int productId) {
    for (int i = 0; scanner_description_list[i].productID != 0; ++i) {
        const Scanner_Description& row = scanner_description_list[i];
        if (row.productID == productId && row.vendorID == vendorId) return i;
    }
    return -1;
}

int MatchNetProduct(const char* mibOid) {
    return mibOid == nullptr ? -1 : match_leading_text(mibOid, &Scanner_Description::mibOID);
}

int MatchNetModelName(const char* modelName) {
    return modelName == nullptr ? -1 : match_leading_text(modelName, &Scanner_Description::modelName);
}

Scanner_Description GetScannerDescription(int index) { return scanner_description_list[index]; }

}  // extern "C"

int FindModelByName(const char* modelName) {
    for (int i = 0; modelName != nullptr && scanner_description_list[i].modelName != nullptr; ++i) {
        if (strcmp(scanner_description_list[i].modelName, modelName) == 0) return i;
    }
    return -1;
}
