// libFuzzer target: the IEEE 1284 device ID reader with arbitrary ID texts and
// keys, and the discovery's answer handling on arbitrary datagrams.
// Input: byte 0 is the key's length (0..63), then the key, then the rest,
// which is both the device ID text and the datagram. The texts sit in heap
// blocks of exactly their size so that a read past them is caught.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "backend/net_discovery.h"

namespace {

char* terminated_copy(const uint8_t* data, size_t size) {
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) abort();
    if (size) memcpy(text, data, size);
    text[size] = '\0';
    return text;
}

// The value the reader must give: after the first "KEY:" up to the next ';'
// or the end of the text, with the pair ("KEY:value") cut to 511 characters.
// Keys are cut to 62 characters.
void check_value(const char* id, const char* key, const char* value) {
    char search[64];
    const size_t key_length = strnlen(key, 62);
    memcpy(search, key, key_length);
    search[key_length] = ':';
    search[key_length + 1] = '\0';
    const char* found = strstr(id, search);
    if ((found == nullptr) != (value == nullptr)) abort();
    if (value == nullptr) return;
    if (memchr(value, '\0', 512) == nullptr) abort();  // terminated inside its 512 bytes
    size_t window = strnlen(found, 511);
    size_t start = key_length + 1 < window ? key_length + 1 : window;
    size_t end = start;
    while (end < window && found[end] != ';') ++end;
    if (strlen(value) != end - start || memcmp(value, found + start, end - start) != 0) abort();
}

void check_field(const char* field, size_t width, bool printable) {
    const char* end = static_cast<const char*>(memchr(field, '\0', width));
    if (end == nullptr) abort();
    if (!printable) return;
    for (const char* c = field; c < end; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    size_t key_length = input[0] & 0x3F;
    if (key_length > size - 1) key_length = size - 1;
    char* key = terminated_copy(input + 1, key_length);
    const uint8_t* rest = input + 1 + key_length;
    const size_t rest_size = size - 1 - key_length;
    char* id = terminated_copy(rest, rest_size);

    char* value = GetValueFrom1284DeviceID(id, key);
    check_value(id, key, value);
    free(value);
    for (const char* fixed : {"MFG", "MDL", "MODEL", "CMD", ""}) {
        value = GetValueFrom1284DeviceID(id, fixed);
        check_value(id, fixed, value);
        free(value);
    }
    if (GetValueFrom1284DeviceID(nullptr, key) != nullptr || GetValueFrom1284DeviceID(id, nullptr) != nullptr) abort();

    // The same bytes as one answer to the search, in a block of its own size.
    uint8_t* datagram = static_cast<uint8_t*>(malloc(rest_size ? rest_size : 1));
    if (datagram == nullptr) abort();
    if (rest_size) memcpy(datagram, rest, rest_size);
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_port = htons(161);
    sender.sin_addr.s_addr = htonl(0xC0000200u | input[0]);  // 192.0.2.x
    ORVELA_Scanner record;
    memset(&record, 0xA5, sizeof record);
    if (net_discovery::answer_to_record(datagram, static_cast<int>(rest_size), sender, &record)) {
        check_field(record.brandName, sizeof record.brandName, true);
        check_field(record.modelName, sizeof record.modelName, true);
        check_field(record.serial, sizeof record.serial, true);
        check_field(record.deviceURI, sizeof record.deviceURI, true);
        check_field(record.ipaddress, sizeof record.ipaddress, true);
        if (record.type_io != IOTYPE_NET || record.port != net_discovery::kScannerDataPort) abort();
        if (strncmp(record.deviceURI, "socket://192.0.2.", 17) != 0) abort();
    }
    free(datagram);
    free(id);
    free(key);
    return 0;
}
