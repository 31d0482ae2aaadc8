// Emulated USB bus for tests: a umockdev testbed whose /sys and /dev hold
// emulated devices, and an answer to every usbfs ioctl that libusb-1.0 makes
// on their /dev/bus/usb nodes, dispatched to a DeviceModel. The unmodified
// system libusb then enumerates, opens, claims and transfers as on hardware.
//
// The process must run with libumockdev-preload.so.0 preloaded:
// ensure_umockdev_preload() re-executes the program with it when needed.
// umockdev answers ioctls on its own worker thread, so every access to a
// model from the test goes through EmulatedDevice::with_model (locked).
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "tests/usb_emu/usb_device_model.h"

namespace usb_emu {

// Re-executes the running program with libumockdev-preload.so.0 in LD_PRELOAD
// (and a short TMPDIR: umockdev's unix socket paths must stay under 108
// characters) unless it is already there. Returns only when preloaded.
void ensure_umockdev_preload(char** argv);

struct UsbfsStats {
    uint64_t ioctls = 0, submits = 0, reaped = 0, reap_again = 0, discards = 0, unknown = 0, implicit_claims = 0;
};

class EmulatedDevice {
public:
    EmulatedDevice(DeviceConfig config, int bus, int devnum);
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    // Runs f(model) under the emulation's lock.
    template <class F>
    auto with_model(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(model_);
    }
    UsbfsStats stats();
    int bus() const { return bus_; }
    int devnum() const { return devnum_; }
    const std::string& syspath() const { return syspath_; }
    const std::string& devnode() const { return devnode_; }

    // Pending transfers fail with ENODEV, further I/O too.
    void unplug();

private:
    friend class Testbed;
    struct Client;
    struct Urb;
    static gboolean on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void on_client_notify(GObject* client, GParamSpec* property, gpointer state);
    static void free_client(gpointer state);
    gboolean handle(UMockdevIoctlClient* client);
    Client* client_state(UMockdevIoctlClient* client);
    void progress(Client& c);
    int claim(Client& c, unsigned iface);
    int submit(Client& c, Urb* urb);
    void release_claims(Client& c);

    std::mutex mutex_;
    DeviceModel model_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::list<Client*> clients_;
    int next_owner_ = 0;
    UsbfsStats stats_;
    int bus_;
    int devnum_;
    std::string syspath_;
    std::string devnode_;
};

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds a device (sysfs record, descriptors, /dev node, ioctl handler); the
    // testbed announces it with an "add" uevent. Device numbers count from 2
    // on the bus when devnum is 0.
    EmulatedDevice& add(DeviceConfig config, int bus = 1, int devnum = 0);
    // Unplugs the device, announces its departure with a "remove" uevent and
    // takes it out of the testbed.
    void remove(EmulatedDevice& device);

    UMockdevTestbed* raw() const { return testbed_; }

private:
    bool add_root_hub(int bus);

    UMockdevTestbed* testbed_ = nullptr;
    std::list<std::unique_ptr<EmulatedDevice>> devices_;
    int next_devnum_[8] = {2, 2, 2, 2, 2, 2, 2, 2};
};

// UTF-16 text from ASCII, for descriptor strings.
std::u16string u16(const std::string& ascii);

}  // namespace usb_emu
