#include "tests/usb_emu/usbfs_emulation.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace usb_emu {

void ensure_umockdev_preload(char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "libumockdev-preload.so") != nullptr) return;
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0') value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    setenv("TMPDIR", "/tmp", 1);
    // Address sanitizer must not insist on being first when the preload is.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asan_value = "verify_asan_link_order=0";
    if (asan != nullptr && *asan != '\0') asan_value = std::string(asan) + ":" + asan_value;
    setenv("ASAN_OPTIONS", asan_value.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("execv /proc/self/exe");
    _exit(2);
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// One URB between SUBMITURB and REAPURB: the client's urb record and buffer,
// resolved into this process.
struct EmulatedDevice::Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    gulong client_address = 0;

    usbdevfs_urb* record() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    uint8_t* bytes() const { return buffer != nullptr ? buffer->data : nullptr; }
    ~Urb() {
        g_clear_object(&urb);
        g_clear_object(&buffer);
    }
};

// What the kernel keeps per open file of the device node.
struct EmulatedDevice::Client {
    EmulatedDevice* device = nullptr;
    int owner = 0;
    std::deque<Urb*> pending;  // IN transfers waiting for data
    std::deque<Urb*> done;     // reapable
    ~Client() {
        for (Urb* u : pending) delete u;
        for (Urb* u : done) delete u;
    }
};

EmulatedDevice::EmulatedDevice(DeviceConfig config, int bus, int devnum)
    : model_(std::move(config)), bus_(bus), devnum_(devnum) {
    model_.set_peer(std::make_shared<ScriptedPeer>());
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedDevice::on_ioctl), this);
}

EmulatedDevice::~EmulatedDevice() { g_object_unref(handler_); }

UsbfsStats EmulatedDevice::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void EmulatedDevice::release_claims(Client& c) {
    for (int& owner : model_.claimed_by) {
        if (owner == c.owner) owner = 0;
    }
}

// The kernel releases a file's interfaces when the file is closed.
void EmulatedDevice::on_client_notify(GObject* client, GParamSpec*, gpointer state) {
    auto* c = static_cast<Client*>(state);
    if (umockdev_ioctl_client_get_connected(UMOCKDEV_IOCTL_CLIENT(client))) return;
    std::lock_guard<std::mutex> lock(c->device->mutex_);
    c->device->release_claims(*c);
}

void EmulatedDevice::free_client(gpointer state) {
    auto* c = static_cast<Client*>(state);
    {
        std::lock_guard<std::mutex> lock(c->device->mutex_);
        c->device->release_claims(*c);
        c->device->clients_.remove(c);
    }
    delete c;
}

EmulatedDevice::Client* EmulatedDevice::client_state(UMockdevIoctlClient* client) {
    auto* c = static_cast<Client*>(g_object_get_data(G_OBJECT(client), "usbfs"));
    if (c == nullptr) {
        c = new Client;
        c->device = this;
        c->owner = ++next_owner_;
        clients_.push_back(c);
        g_object_set_data_full(G_OBJECT(client), "usbfs", c, &EmulatedDevice::free_client);
        g_signal_connect(client, "notify::connected", G_CALLBACK(&EmulatedDevice::on_client_notify), c);
    }
    return c;
}

// Lets waiting IN transfers take what the device has produced meanwhile;
// transfers of one endpoint complete in submission order.
void EmulatedDevice::progress(Client& c) {
    uint32_t naking = 0;  // one bit per endpoint number
    for (auto it = c.pending.begin(); it != c.pending.end();) {
        Urb* u = *it;
        usbdevfs_urb* r = u->record();
        const uint32_t bit = 1u << (r->endpoint & 0x0F);
        if ((naking & bit) != 0) {
            ++it;
            continue;
        }
        const int rc = model_.bulk_in(r->endpoint, std::span<uint8_t>(u->bytes(), static_cast<size_t>(r->buffer_length)));
        if (rc == kNak) {
            naking |= bit;
            ++it;
            continue;
        }
        r->status = rc < 0 ? rc : 0;
        r->actual_length = rc < 0 ? 0 : rc;
        it = c.pending.erase(it);
        c.done.push_back(u);
    }
}

int EmulatedDevice::claim(Client& c, unsigned iface) {
    if (iface >= static_cast<unsigned>(model_.interface_count())) return ENOENT;
    if (model_.claimed_by[iface] == c.owner) return 0;
    if (model_.claimed_by[iface] != 0 || model_.driver[iface] != nullptr) return EBUSY;
    model_.claimed_by[iface] = c.owner;
    ++model_.claims;
    return 0;
}

int EmulatedDevice::submit(Client& c, Urb* u) {
    usbdevfs_urb* r = u->record();
    uint8_t* bytes = u->bytes();
    if (model_.unplugged) return ENODEV;
    if (r->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (r->buffer_length < 8 || bytes == nullptr) return EINVAL;
        const int rc = model_.control(bytes, bytes + 8);
        r->status = rc < 0 ? rc : 0;
        r->actual_length = rc < 0 ? 0 : rc;
        c.done.push_back(u);
        return 0;
    }
    if (r->type != USBDEVFS_URB_TYPE_BULK && r->type != USBDEVFS_URB_TYPE_INTERRUPT) return EINVAL;
    const int iface = model_.interface_of_endpoint(r->endpoint);
    if (iface < 0) return ENOENT;
    if (model_.claimed_by[static_cast<size_t>(iface)] != c.owner) {
        // The kernel claims implicitly (with a warning); the tests count it.
        const int rc = claim(c, static_cast<unsigned>(iface));
        if (rc != 0) return rc;
        ++stats_.implicit_claims;
    }
    if ((r->endpoint & 0x80) != 0) {
        c.pending.push_back(u);
        progress(c);
    } else {
        const int rc = model_.bulk_out(r->endpoint, std::span<const uint8_t>(bytes, static_cast<size_t>(r->buffer_length)));
        r->status = rc < 0 ? rc : 0;
        r->actual_length = rc < 0 ? 0 : rc;
        c.done.push_back(u);
    }
    return 0;
}

gboolean EmulatedDevice::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedDevice*>(self)->handle(client);
}

gboolean EmulatedDevice::handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const gsize size = _IOC_SIZE(request);
    UMockdevIoctlData* p = nullptr;
    GError* error = nullptr;

    std::lock_guard<std::mutex> lock(mutex_);
    Client& c = *client_state(client);
    ++stats_.ioctls;
    auto complete = [&](int result, int err) { umockdev_ioctl_client_complete(client, result, err); };

    if (size > 0 && request != static_cast<gulong>(USBDEVFS_DISCARDURB)) {
        p = umockdev_ioctl_data_resolve(arg, 0, size, &error);
        if (p == nullptr) {
            g_clear_error(&error);
            complete(-1, EFAULT);
            return TRUE;
        }
    }
    DeviceModel& d = model_;

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        *reinterpret_cast<guint32*>(p->data) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        complete(0, 0);
        break;
    case USBDEVFS_CONNECTINFO: {
        auto* info = reinterpret_cast<usbdevfs_connectinfo*>(p->data);
        info->devnum = static_cast<unsigned>(devnum_);
        info->slow = 0;
        complete(0, 0);
        break;
    }
    case USBDEVFS_GET_SPEED:
        complete(3 /* high speed */, 0);
        break;
    case USBDEVFS_CLAIMINTERFACE: {
        const int rc = claim(c, *reinterpret_cast<unsigned*>(p->data));
        complete(rc != 0 ? -1 : 0, rc);
        break;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        const unsigned i = *reinterpret_cast<unsigned*>(p->data);
        if (i >= d.claimed_by.size() || d.claimed_by[i] != c.owner) {
            complete(-1, EINVAL);
        } else {
            d.claimed_by[i] = 0;
            complete(0, 0);
        }
        break;
    }
    case USBDEVFS_SETINTERFACE: {
        auto* si = reinterpret_cast<usbdevfs_setinterface*>(p->data);
        if (si->interface >= d.claimed_by.size() || d.claimed_by[si->interface] != c.owner ||
            !d.alt_exists(static_cast<int>(si->interface), static_cast<int>(si->altsetting))) {
            complete(-1, EINVAL);
        } else {
            d.alt[si->interface] = static_cast<int>(si->altsetting);
            complete(0, 0);
        }
        break;
    }
    case USBDEVFS_SETCONFIGURATION: {
        bool busy = false;
        for (int owner : d.claimed_by) busy = busy || owner != 0;
        complete(busy ? -1 : 0, busy ? EBUSY : 0);
        break;
    }
    case USBDEVFS_GETDRIVER: {
        auto* gd = reinterpret_cast<usbdevfs_getdriver*>(p->data);
        if (gd->interface >= d.driver.size() || d.driver[gd->interface] == nullptr) {
            complete(-1, ENODATA);
        } else {
            g_strlcpy(gd->driver, d.driver[gd->interface], sizeof gd->driver);
            complete(0, 0);
        }
        break;
    }
    case USBDEVFS_IOCTL: {
        auto* io = reinterpret_cast<usbdevfs_ioctl*>(p->data);
        if (io->ifno < 0 || static_cast<size_t>(io->ifno) >= d.driver.size()) {
            complete(-1, EINVAL);
        } else if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (d.driver[static_cast<size_t>(io->ifno)] == nullptr) {
                complete(-1, ENODATA);
            } else {
                d.driver[static_cast<size_t>(io->ifno)] = nullptr;
                complete(0, 0);
            }
        } else if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            complete(0, 0);
        } else {
            complete(-1, ENOTTY);
        }
        break;
    }
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        complete(d.unplugged ? -1 : 0, d.unplugged ? ENODEV : 0);
        break;
    case USBDEVFS_CONTROL: {
        auto* ct = reinterpret_cast<usbdevfs_ctrltransfer*>(p->data);
        const uint8_t setup[8] = {ct->bRequestType,
                                  ct->bRequest,
                                  static_cast<uint8_t>(ct->wValue),
                                  static_cast<uint8_t>(ct->wValue >> 8),
                                  static_cast<uint8_t>(ct->wIndex),
                                  static_cast<uint8_t>(ct->wIndex >> 8),
                                  static_cast<uint8_t>(ct->wLength),
                                  static_cast<uint8_t>(ct->wLength >> 8)};
        UMockdevIoctlData* b = nullptr;
        if (ct->wLength != 0) {
            b = umockdev_ioctl_data_resolve(p, offsetof(usbdevfs_ctrltransfer, data), ct->wLength, &error);
            if (b == nullptr) {
                g_clear_error(&error);
                complete(-1, EFAULT);
                break;
            }
        }
        uint8_t scratch[1];
        const int rc = model_.control(setup, b != nullptr ? b->data : scratch);
        g_clear_object(&b);
        complete(rc < 0 ? -1 : rc, rc < 0 ? -rc : 0);
        break;
    }
    case USBDEVFS_SUBMITURB: {
        auto* r = reinterpret_cast<usbdevfs_urb*>(p->data);
        auto* u = new Urb;
        u->client_address = p->client_addr;
        u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(p));
        if (r->buffer_length > 0) {
            u->buffer = umockdev_ioctl_data_resolve(p, offsetof(usbdevfs_urb, buffer),
                                                    static_cast<gsize>(r->buffer_length), &error);
            if (u->buffer == nullptr) {
                g_clear_error(&error);
                delete u;
                complete(-1, EFAULT);
                break;
            }
        }
        ++stats_.submits;
        const int rc = submit(c, u);
        if (rc != 0) {
            delete u;
            complete(-1, rc);
        } else {
            complete(0, 0);
        }
        break;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        progress(c);
        if (c.done.empty()) {
            ++stats_.reap_again;
            // A blocking reap is answered like the non-blocking one: libusb
            // never blocks in it.
            complete(-1, d.unplugged ? ENODEV : EAGAIN);
            break;
        }
        Urb* u = c.done.front();
        c.done.pop_front();
        umockdev_ioctl_data_set_ptr(p, 0, u->urb);
        ++stats_.reaped;
        complete(0, 0);
        delete u;
        break;
    }
    case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        bool found = false;
        for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
            if ((*it)->client_address != address) continue;
            Urb* u = *it;
            u->record()->status = -ENOENT;
            u->record()->actual_length = 0;
            c.pending.erase(it);
            c.done.push_back(u);
            ++stats_.discards;
            found = true;
            break;
        }
        complete(found ? 0 : -1, found ? 0 : EINVAL);
        break;
    }
    default:
        ++stats_.unknown;
        fprintf(stderr, "usbfs emulation: unhandled ioctl 0x%lx\n", request);
        complete(-1, ENOTTY);
        break;
    }
    g_clear_object(&p);
    return TRUE;
}

void EmulatedDevice::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.unplugged = true;
    for (Client* c : clients_) {
        while (!c->pending.empty()) {
            Urb* u = c->pending.front();
            c->pending.pop_front();
            u->record()->status = -ENODEV;
            u->record()->actual_length = 0;
            c->done.push_back(u);
        }
    }
}

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {
    if (testbed_ == nullptr) throw std::runtime_error("umockdev_testbed_new failed");
}

Testbed::~Testbed() {
    g_object_unref(testbed_);
    devices_.clear();
}

// The root hub usbN: libusb enumerates a device's parent too.
bool Testbed::add_root_hub(int bus) {
    char* root = umockdev_testbed_get_root_dir(testbed_);
    char* probe = g_strdup_printf("%s/sys/bus/usb/devices/usb%d", root, bus);
    const bool exists = g_file_test(probe, G_FILE_TEST_EXISTS);
    g_free(probe);
    g_free(root);
    if (exists) return true;
    char* record = g_strdup_printf(
        "P: /devices/pci0000:00/0000:00:14.0/usb%d\n"
        "N: bus/usb/%03d/001\n"
        "E: DEVNAME=/dev/bus/usb/%03d/001\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
        "E: PRODUCT=1d6b/2/606\nE: TYPE=9/0/1\nE: BUSNUM=%03d\nE: DEVNUM=001\nE: MAJOR=189\nE: MINOR=%d\n"
        "A: dev=189:%d\\n\nA: busnum=%d\\n\nA: devnum=1\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
        "A: idVendor=1d6b\\n\nA: idProduct=0002\\n\n"
        "H: descriptors=12010002090001406B1D020006060302010109021900010100E0000904000001090000000705810304000C\n",
        bus, bus, bus, bus, (bus - 1) * 128, (bus - 1) * 128, bus);
    GError* error = nullptr;
    const bool ok = umockdev_testbed_add_from_string(testbed_, record, &error);
    if (!ok) {
        fprintf(stderr, "root hub: %s\n", error->message);
        g_clear_error(&error);
    }
    g_free(record);
    return ok;
}

EmulatedDevice& Testbed::add(DeviceConfig config, int bus, int devnum) {
    if (bus < 1 || bus > 8) throw std::invalid_argument("bus 1..8");
    if (devnum == 0) devnum = next_devnum_[bus - 1]++;
    auto device = std::make_unique<EmulatedDevice>(std::move(config), bus, devnum);
    EmulatedDevice& d = *device;

    const std::vector<uint8_t> descriptors = d.with_model([](DeviceModel& m) { return m.sysfs_descriptors(); });
    std::string hex;
    for (uint8_t b : descriptors) {
        char two[3];
        snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    const DeviceConfig& cfg = d.model_.config();
    // Several devices on one bus hang off different root-hub ports.
    const std::string sysname = std::to_string(bus) + "-" + std::to_string(devnum - 1);
    char nodebuf[32];
    snprintf(nodebuf, sizeof nodebuf, "bus/usb/%03d/%03d", bus, devnum);
    const int minor = (bus - 1) * 128 + devnum - 1;
    char* record = g_strdup_printf(
        "P: /devices/pci0000:00/0000:00:14.0/usb%d/%s\n"
        "N: %s=%s\n"  // reading the usbfs node gives the descriptors
        "E: DEVNAME=/dev/%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
        "E: PRODUCT=%x/%x/100\nE: TYPE=0/0/0\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n"
        "E: MAJOR=189\nE: MINOR=%d\n"
        "A: dev=189:%d\\n\nA: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: version= 2.00\\n\n"
        "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: bNumInterfaces= %d\\n\n"
        "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=0100\\n\nA: bMaxPacketSize0=64\\n\n"
        "H: descriptors=%s\n",
        bus, sysname.c_str(), nodebuf, hex.c_str(), nodebuf, cfg.vendor_id, cfg.product_id, bus, devnum, minor,
        minor, bus, devnum, static_cast<int>(cfg.interfaces.size()), cfg.vendor_id, cfg.product_id, hex.c_str());
    GError* error = nullptr;
    bool ok = add_root_hub(bus) && umockdev_testbed_add_from_string(testbed_, record, &error);
    g_free(record);
    d.devnode_ = std::string("/dev/") + nodebuf;
    if (ok) ok = umockdev_testbed_attach_ioctl(testbed_, d.devnode_.c_str(), d.handler_, &error);
    if (!ok) {
        std::string message = error != nullptr ? error->message : "adding the device failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    d.syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" + sysname;
    devices_.push_back(std::move(device));
    return d;
}

void Testbed::remove(EmulatedDevice& device) {
    device.unplug();
    umockdev_testbed_uevent(testbed_, device.syspath_.c_str(), "remove");
    GError* error = nullptr;
    if (!umockdev_testbed_detach_ioctl(testbed_, device.devnode_.c_str(), &error)) g_clear_error(&error);
    umockdev_testbed_remove_device(testbed_, device.syspath_.c_str());
    // The object stays alive until the testbed goes: libusb may still hold
    // the node open and complete transfers with ENODEV.
}

}  // namespace usb_emu
