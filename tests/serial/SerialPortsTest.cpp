// The port list: its order, COM1 and COM2's devices left out, TOVREL_PORTS
// in place of the enumeration, and of the enumeration what a machine without
// adapters can show (that it lists no terminal without a device behind it).
// The enumeration of real adapters and UARTs is checked in the QEMU guest.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

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
