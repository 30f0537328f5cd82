// The port list: its order, COM1 and COM2's devices left out, TOVREL_PORTS
// in place of the enumeration, and of the enumeration what a machine without
// adapters can show (that it lists no terminal without a device behind it).
// Which ports are kernel consoles nobody named: against this machine's own
// /proc/consoles, and with a pseudo-terminal listed as a console.
// The enumeration of real adapters and UARTs is checked in the QEMU guest.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/SerialPorts.h"
#include "tests/support/PtyPeer.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(p.name);
    return names;
}

// Sets an environment variable for a scope, restoring what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old, m_had = true;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

}  // namespace

TEST(SerialPortOrder, NumbersCompareByValue) {
    std::vector<std::string> names = {"/dev/ttyUSB10", "COM10", "/dev/ttyS10", "/dev/ttyS2", "/dev/ttyACM0",
                                      "COM3",          "/dev/ttyUSB2", "/dev/ttyS02"};
    std::sort(names.begin(), names.end(), SerialPortNameLess);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS2", "/dev/ttyS02", "/dev/ttyS10",
                                               "/dev/ttyUSB2", "/dev/ttyUSB10", "COM3", "COM10"}));
    EXPECT_FALSE(SerialPortNameLess("COM3", "COM3"));
    EXPECT_TRUE(SerialPortNameLess("COM", "COM1"));
}

TEST(SerialPortList, NamedPortsReplaceTheEnumerationInOrderWithoutCom1AndCom2) {
    PtyPeer a, b, c, com2;
    // COM1 reaches c through a link: still the same device, left out.
    const fs::path link = fs::temp_directory_path() / ("tovrel-com1-" + std::to_string(getpid()));
    fs::create_symlink(c.SlavePath(), link);
    ScopedEnv com1("TOVREL_COM1", link.string());
    ScopedEnv com2Env("TOVREL_COM2", com2.SlavePath());
    ScopedEnv named("TOVREL_PORTS", b.SlavePath() + "::/dev/tovrel-no-such-port:" + c.SlavePath() + ":" +
                                         a.SlavePath() + ":" + com2.SlavePath() + ":" + a.SlavePath());
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    std::vector<std::string> expected = {a.SlavePath(), b.SlavePath()};
    std::sort(expected.begin(), expected.end(), SerialPortNameLess);
    EXPECT_EQ(Names(ports), expected);
    for (const auto& p : ports) EXPECT_EQ(p.description, "pseudo-terminal") << p.name;
    fs::remove(link);
}

TEST(SerialPortList, EmptyNamedListListsNothing) {
    ScopedEnv named("TOVREL_PORTS", "");
    EXPECT_TRUE(ListSerialPorts().empty());
}

TEST(SerialPortList, EnumerationListsOnlyDevicesWithSomethingBehindThem) {
    unsetenv("TOVREL_PORTS");
    PtyPeer peer;  // a pseudo-terminal is present, and must not be listed
    ScopedEnv com1("TOVREL_COM1", "/dev/tovrel-no-such-port");
    for (const SerialPortInfo& p : ListSerialPorts()) {
        struct stat st {};
        EXPECT_EQ(stat(p.name.c_str(), &st), 0) << p.name;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << p.name;
        EXPECT_FALSE(p.description.empty()) << p.name;
        EXPECT_NE(p.name, peer.SlavePath());
        EXPECT_NE(p.name.rfind("/dev/pts/", 0), 0u) << p.name;
        // Virtual consoles (tty0, tty1, ...) and the console alias have no device.
        const std::string leaf = fs::path(p.name).filename().string();
        EXPECT_FALSE(leaf == "tty" || leaf == "console" || leaf == "ptmx" ||
                     (leaf.size() > 3 && leaf.compare(0, 3, "tty") == 0 && std::isdigit(static_cast<unsigned char>(leaf[3]))))
            << p.name;
    }
}

// No test can make a terminal a console: the kernel's list is replaced by
// one in its format that names a pseudo-terminal's device.
TEST(KernelConsole, APortIsTheConsoleByItsDeviceUntilTheUserNamesIt) {
    PtyPeer console, other;
    struct stat st {};
    ASSERT_EQ(stat(console.SlavePath().c_str(), &st), 0);
    const fs::path consoles = fs::temp_directory_path() / ("tovrel-consoles-" + std::to_string(getpid()));
    std::ofstream(consoles) << "netcon0              -W- (E     )\n"
                            << "ttyS0                -W- (EC  p a)    4:64\n"
                            << "pts                  -W- (E  p  )  " << major(st.st_rdev) << ':' << minor(st.st_rdev)
                            << '\n';
    const fs::path link = fs::temp_directory_path() / ("tovrel-console-link-" + std::to_string(getpid()));
    fs::create_symlink(console.SlavePath(), link);
    ScopedEnv kernel("TOVREL_PROC_CONSOLES", consoles.string());
    unsetenv("TOVREL_PORTS");
    unsetenv("TOVREL_COM3");
    const std::string path = console.SlavePath();
    struct Row {
        const char* what;
        std::string port;
        const char* com3;   // TOVREL_COM3; null: unset
        const char* ports;  // TOVREL_PORTS; null: unset
        std::string alsoNamed;
        bool unnamedConsole;
        bool console;  // named or not
    };
    const Row rows[] = {
        {"the console by its path", path, nullptr, nullptr, "", true, true},
        {"the console through a link", link.string(), nullptr, nullptr, "", true, true},
        {"another terminal", other.SlavePath(), nullptr, nullptr, "", false, false},
        {"a path that opens nothing", "/dev/tovrel-no-such-port", nullptr, nullptr, "", false, false},
        {"the console listed in TOVREL_PORTS, through a link", path, nullptr, link.c_str(), "", false, true},
        {"TOVREL_PORTS listing another port", path, nullptr, other.SlavePath().c_str(), "", true, true},
        {"the console named for this run", path, nullptr, nullptr, path, false, true},
        {"the console named for this run as COM3", path, path.c_str(), nullptr, "COM3", false, true},
        {"another port named for this run", path, nullptr, nullptr, other.SlavePath(), true, true},
        {"COM3 set to the console", "COM3", path.c_str(), nullptr, "", false, true},
        {"COM3 set to another terminal", "COM3", other.SlavePath().c_str(), nullptr, "", false, false},
    };
    for (const Row& row : rows) {
        if (row.com3 != nullptr) setenv("TOVREL_COM3", row.com3, 1);
        if (row.ports != nullptr) setenv("TOVREL_PORTS", row.ports, 1);
        EXPECT_EQ(IsUnnamedKernelConsole(row.port.c_str(), row.alsoNamed.empty() ? nullptr : row.alsoNamed.c_str()),
                  row.unnamedConsole)
            << row.what;
        EXPECT_EQ(IsKernelConsole(row.port.c_str()), row.console) << row.what;
        unsetenv("TOVREL_COM3");
        unsetenv("TOVREL_PORTS");
    }
    // Listed, it says so.
    setenv("TOVREL_PORTS", path.c_str(), 1);
    const std::vector<SerialPortInfo> listed = ListSerialPorts();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].description, "pseudo-terminal (the kernel's console)");
    unsetenv("TOVREL_PORTS");
    fs::remove(link);
    fs::remove(consoles);
}

// What a description says, from what the platform found, in the client's
// words and with a detail put first as the window does.
TEST(PortDescription, TheModelOrWhatThePortIsThenTheDetails) {
    const struct {
        const char *vendor, *model, *serial;
        int uartType;
        const char* driver;
        bool pseudoTerminal, console;
        const char *firstDetail, *described;
    } rows[] = {
        {"FTDI", "FT232R USB UART", "A50285BI", -1, "", false, false, "", "FT232R USB UART (FTDI, serial A50285BI)"},
        {"FTDI", "FTDI FT232R", "", -1, "", false, false, "/dev/ttyUSB0", "FTDI FT232R (/dev/ttyUSB0)"},
        {"", "", "", 4, "serial8250", false, false, "", "16550A UART"},
        {"", "", "", 99, "", false, false, "", "UART type 99"},
        {"", "", "", -1, "cdc_acm", false, false, "", "cdc_acm serial port"},
        {"", "", "", -1, "", true, true, "", "pseudo-terminal (the kernel's console)"},
        {"", "", "", -1, "", false, false, "", "serial port"},
    };
    for (const auto& row : rows) {
        SerialPortInfo port;
        port.vendor = row.vendor;
        port.model = row.model;
        port.serial = row.serial;
        port.uartType = row.uartType;
        port.driver = row.driver;
        port.pseudoTerminal = row.pseudoTerminal;
        port.console = row.console;
        EXPECT_EQ(DescribePort(port, kEnglishPortWords, row.firstDetail), row.described);
    }
}

// This machine's own consoles, as its kernel lists them: each tty console
// with a device node is one, as its path and (ttyS0) as COM1.
TEST(KernelConsole, TheKernelsOwnConsolesAreFoundByTheirDevices) {
    unsetenv("TOVREL_PROC_CONSOLES");
    unsetenv("TOVREL_PORTS");
    unsetenv("TOVREL_COM1");
    std::ifstream in("/proc/consoles");
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        const std::string path = "/dev/" + name;
        struct stat st {};
        if (line.find(':') == std::string::npos || stat(path.c_str(), &st) != 0) continue;
        EXPECT_TRUE(IsUnnamedKernelConsole(path.c_str())) << line;
        if (name == "ttyS0") {
            EXPECT_TRUE(IsUnnamedKernelConsole("COM1")) << line;
        }
        ++checked;
    }
    PtyPeer terminal;
    EXPECT_FALSE(IsUnnamedKernelConsole(terminal.SlavePath().c_str()));
    if (checked == 0) GTEST_SKIP() << "this kernel has no console on a tty with a device node";
}
