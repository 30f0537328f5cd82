// The port list on Windows (wine's SetupAPI and registry): wine's COM ports
// besides COM1 and COM2, in order, each with a description; TOVREL_PORTS in
// place of the enumeration.
#include <gtest/gtest.h>

#include <cstdlib>

#include "serial/SerialPorts.h"

namespace {

std::vector<std::string> Names(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(p.name);
    return names;
}

}  // namespace

TEST(SerialPortList, ListsWinesComPortsBesidesCom1AndCom2) {
    _putenv("TOVREL_PORTS=");  // an empty value removes it here
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    const std::vector<std::string> names = Names(ports);
    // COM3 to COM7 are the prefix's; wine may add its own after them.
    ASSERT_GE(names.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5),
              (std::vector<std::string>{"COM3", "COM4", "COM5", "COM6", "COM7"}));
    for (const SerialPortInfo& p : ports) {
        EXPECT_NE(p.name, "COM1");
        EXPECT_NE(p.name, "COM2");
        EXPECT_FALSE(p.description.empty()) << p.name;
    }
}

TEST(SerialPortList, NamedPortsThatExist) {
    // Names are taken as the system spells them.
    _putenv("TOVREL_PORTS=COM4;COM3;COM1;COM99;;com6");
    EXPECT_EQ(Names(ListSerialPorts()), (std::vector<std::string>{"COM3", "COM4", "COM6"}));
    _putenv("TOVREL_PORTS=");
}
