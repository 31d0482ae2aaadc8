// Runs one device search of the driver layer and prints the merged list, one
// device per line: index, type, URI, brand, model, serial, address, port,
// feeder and reference-point flags. Used by the discovery tests inside
// private network namespaces. Like the backend's init, it reads orvela.conf
// from SANE_CONFIG_DIR first.
#include <cstdio>

#include "common/debugtool.h"
#include "common/orvela_config.h"
#include "core/scan/driver/orvela_devlist.h"

// usage: devlist_probe [-v]   (-v: the diagnostic log on standard output)
int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] == '-' && argv[1][1] == 'v') g_print2std = 1;
    orvela_config::load();
    ORVELA_Scanner* list = nullptr;
    const int count = Drv_get_devices(&list);
    for (int i = 0; i < count; ++i) {
        const ORVELA_Scanner& d = list[i];
        printf("%d|%s|%s|%s|%s|%s|%s|%d|%d|%d\n", i, d.type_io == IOTYPE_USB ? "usb" : "net", d.deviceURI,
               d.brandName, d.modelName, d.serial, d.ipaddress, d.port, d.isSupportADF ? 1 : 0,
               d.isRightRearBP ? 1 : 0);
    }
    // The array ends with an all-zero record.
    const unsigned char* end = reinterpret_cast<const unsigned char*>(&list[count]);
    for (size_t i = 0; i < sizeof(ORVELA_Scanner); ++i)
        if (end[i] != 0) {
            printf("terminator not zero\n");
            return 1;
        }
    printf("count=%d\n", count);
    return 0;
}
