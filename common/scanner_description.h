// The built-in table of supported scanner models: the only place where the
// backend decides that a USB device or an SNMP agent is one of its own.
#pragma once

extern "C" {

struct Scanner_Description {
    const char* modelName;
    int vendorID;
    int productID;   // never 0 in a model row: 0 ends the USB walk
    const char* mibOID;  // sysObjectID without leading dot, "" when the model has none
    bool isSupportADF;
    bool isRightRearBP;
};

// 48 model rows and an all-zero terminator.
extern const Scanner_Description scanner_description_list[49];

// Each returns the index of the first matching row, or -1.
int MatchUSBProduct(int vendorId, int productId);
int MatchNetProduct(const char* mibOid);    // a row whose mibOID begins with mibOid
int MatchNetModelName(const char* modelName);  // a row whose modelName begins with modelName
// Row `index` by value; index must come from one of the lookups (0..47).
Scanner_Description GetScannerDescription(int index);

}  // extern "C"

// Index of the first row whose modelName is modelName, letter case included
// (the name a user writes in orvela.conf), or -1.
int FindModelByName(const char* modelName);

// The maker's USB vendor IDs; the third is recognised by USB discovery only.
constexpr int kOrvelaVendorId = 0x5E5A;
constexpr int kOrvelaSecondVendorId = 0x5E5B;
constexpr int kOrvelaThirdVendorId = 0x5E5C;
// The maker's name as its scanners give it (the 1284 device ID's MFG); the
// vendor of a scanner known only from the model table.
constexpr char kOrvelaBrandName[] = "Orvela";
// The brand prefixes of a sysObjectID, compared as plain text against its
// start (their lengths are those of the texts). The maker's own model rows
// extend the enterprise prefix; the imaging line's prefix has no row and is
// recognised by network discovery alone.
#define ORVELA_ENTERPRISE_OID "1.3.6.1.4.1.93501"
constexpr char kOrvelaEnterpriseOid[] = ORVELA_ENTERPRISE_OID;
constexpr char kOrvelaImagingOid[] = "1.3.6.1.4.1.2021";
