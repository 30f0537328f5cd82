// Which ports are the kernel's consoles, asked of the kernel rather than
// guessed from device names (SerialPorts.h, IsKernelConsole and
// IsUnnamedKernelConsole).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "PortNames.h"
#include "serial/SerialPortsPlatform.h"

namespace {

// The device numbers of the consoles that are ttys. /proc/consoles ends
// each such line with "major:minor"; a console without a tty (netconsole)
// has none there.
std::vector<dev_t> ConsoleDevices() {
    const char* replacement = std::getenv("TOVREL_PROC_CONSOLES");
    std::ifstream in(replacement != nullptr && replacement[0] != '\0' ? replacement : "/proc/consoles");
    std::vector<dev_t> devices;
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find_last_of(" \t");
        const std::string last = space == std::string::npos ? line : line.substr(space + 1);
        unsigned int major = 0, minor = 0;
        char extra = 0;
        if (std::sscanf(last.c_str(), "%u:%u%c", &major, &minor, &extra) == 2) devices.push_back(makedev(major, minor));
    }
    return devices;
}

// The character device a path opens (links followed), or 0 for none.
dev_t DeviceOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return st.st_rdev;
}

bool NamedInEnvironment(const char* portName, dev_t device) {
    // TOVREL_COMn set for this COMn is the user's choice of its device.
    if (std::strncmp(portName, "COM", 3) == 0) {
        const char* set = std::getenv((std::string("TOVREL_") + portName).c_str());
        if (set != nullptr && set[0] != '\0') return true;
    }
    const char* listed = std::getenv("TOVREL_PORTS");
    if (listed == nullptr) return false;
    for (const std::string& name : SplitPortList(listed)) {
        if (DeviceOf(name) == device) return true;
    }
    return false;
}

}  // namespace

bool IsKernelConsole(const char* portName) {
    const dev_t device = DeviceOf(DevicePathOf(portName));
    if (device == 0) return false;
    const std::vector<dev_t> consoles = ConsoleDevices();
    return std::find(consoles.begin(), consoles.end(), device) != consoles.end();
}

bool IsUnnamedKernelConsole(const char* portName, const char* alsoNamed) {
    if (!IsKernelConsole(portName)) return false;
    const dev_t device = DeviceOf(DevicePathOf(portName));
    if (alsoNamed != nullptr && DeviceOf(DevicePathOf(alsoNamed)) == device) return false;
    return !NamedInEnvironment(portName, device);
}
