// The port list on Linux, through libudev: the tty subsystem as sysfs shows
// it, with what udevd has learnt of each device where it runs.
#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "PortNames.h"
#include "serial/SerialPortsPlatform.h"

const char kPortListSeparator = ':';

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Trimmed(const char* text) {
    if (text == nullptr) return {};
    std::string s(text);
    const size_t first = s.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
}

std::string Property(udev_device* device, const char* key) {
    return Trimmed(udev_device_get_property_value(device, key));
}

std::string Attribute(udev_device* device, const char* name) {
    return Trimmed(udev_device_get_sysattr_value(device, name));
}

// What udev and the kernel say of a tty: name, vendor, model, serial, and
// what it is. `uartType` is the serial core's type, -1 for a tty that is
// no UART.
SerialPortInfo Describe(udev_device* tty, int uartType) {
    SerialPortInfo info;
    info.name = udev_device_get_devnode(tty);
    // udevd's rules copy the database's names onto the tty itself.
    info.vendor = Property(tty, "ID_VENDOR_FROM_DATABASE");
    info.model = Property(tty, "ID_MODEL_FROM_DATABASE");
    info.serial = Property(tty, "ID_SERIAL_SHORT");
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
        // Without udevd (or before it has run), the device's own strings.
        if (info.vendor.empty()) info.vendor = Attribute(usb, "manufacturer");
        if (info.model.empty()) info.model = Attribute(usb, "product");
        if (info.serial.empty()) info.serial = Attribute(usb, "serial");
    }
    info.uartType = uartType;
    udev_device* parent = udev_device_get_parent(tty);
    const char* driver = parent != nullptr ? udev_device_get_driver(parent) : nullptr;
    if (driver != nullptr) info.driver = driver;
    return info;
}

// The serial core's UART type of a tty, -1 when it is no serial-core port.
// Read from sysfs, never by opening the device, which would raise DTR.
int UartType(udev_device* tty) {
    const char* type = udev_device_get_sysattr_value(tty, "type");
    return type != nullptr ? std::atoi(type) : -1;
}

}  // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts() {
    std::vector<SerialPortInfo> ports;
    UdevPtr<udev> context(udev_new());
    if (!context) return ports;
    UdevPtr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0)
        return ports;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
        // Virtual terminals, ptys and the console alias have no device behind
        // them; most ttys are such, and their path says so at no cost.
        const char* syspath = udev_list_entry_get_name(entry);
        if (std::strstr(syspath, "/devices/virtual/") != nullptr) continue;
        UdevPtr<udev_device> tty(udev_device_new_from_syspath(context.get(), syspath));
        if (!tty || udev_device_get_devnode(tty.get()) == nullptr || udev_device_get_parent(tty.get()) == nullptr)
            continue;
        // The 8250 driver registers every ttyS it may serve; type 0 has no UART.
        const int uartType = UartType(tty.get());
        if (uartType == 0) continue;
        ports.push_back(Describe(tty.get(), uartType));
    }
    return ports;
}

bool DescribeNamedPort(const std::string& name, SerialPortInfo* info) {
    struct stat st {};
    if (stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    UdevPtr<udev> context(udev_new());
    UdevPtr<udev_device> tty(context ? udev_device_new_from_devnum(context.get(), 'c', st.st_rdev) : nullptr);
    if (tty && udev_device_get_devnode(tty.get()) != nullptr) {
        *info = Describe(tty.get(), UartType(tty.get()));
    } else {
        // Unix 98 pseudo-terminal slaves have majors 136 to 143.
        const unsigned int major = major(st.st_rdev);
        info->pseudoTerminal = major >= 136 && major <= 143;
    }
    info->name = name;  // as named, not as udev names the node
    return true;
}

bool IsCom1OrCom2(const std::string& name) {
    const std::string device = ResolvedPath(name);
    if (device.empty()) return false;
    for (const char* com : {"COM1", "COM2"}) {
        if (ResolvedPath(DevicePathOf(com)) == device) return true;
    }
    return false;
}
