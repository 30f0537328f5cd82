#include "SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "SerialPortsPlatform.h"

std::vector<std::string> SplitPortList(const std::string& names) {
    std::vector<std::string> list;
    size_t from = 0;
    while (from <= names.size()) {
        size_t to = names.find(kPortListSeparator, from);
        if (to == std::string::npos) to = names.size();
        if (to > from) list.push_back(names.substr(from, to - from));
        from = to + 1;
    }
    return list;
}

namespace {

std::vector<SerialPortInfo> NamedPorts(const std::string& names) {
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : SplitPortList(names)) {
        SerialPortInfo info;
        if (DescribeNamedPort(name, &info)) ports.push_back(info);
    }
    return ports;
}

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The kernel's names of its UART types (serial_core.h, PORT_*); 0 is none.
const char* UartName(int type) {
    static const char* const kNames[] = {nullptr,  "8250",   "16450",  "16550",    "16550A", "Cirrus", "16650",
                                         "16650V2", "16750", "Startech", "16C950", "16654",  "16850",  "RSA",
                                         "NS16550A"};
    return type > 0 && type < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[type] : nullptr;
}

}  // namespace

const PortWords kEnglishPortWords = {"serial port", " serial port", " UART", "UART type ", "pseudo-terminal",
                                     "serial ",     "the kernel's console", " (", ", ", ")"};

std::string DescribePort(const SerialPortInfo& port, const PortWords& words, const std::string& firstDetail) {
    std::string line = port.model;
    if (line.empty() && port.uartType >= 0) {
        const char* uart = UartName(port.uartType);
        line = uart != nullptr ? uart + std::string(words.uart) : words.uartType + std::to_string(port.uartType);
    }
    if (line.empty() && !port.driver.empty()) line = port.driver + words.driverPort;
    if (line.empty()) line = port.pseudoTerminal ? words.pseudoTerminal : words.serialPort;
    std::string details;
    const auto add = [&details, &words](const std::string& part) { details += (details.empty() ? "" : words.between) + part; };
    if (!firstDetail.empty()) add(firstDetail);
    // "FTDI" beside "FTDI FT232R" says nothing new.
    if (!port.vendor.empty() && port.model.find(port.vendor) == std::string::npos) add(port.vendor);
    if (!port.serial.empty()) add(words.serialNumber + port.serial);
    if (port.console) add(words.console);
    return details.empty() ? line : line + words.open + details + words.close;
}

bool SerialPortNameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Numbers by value: fewer significant digits is smaller.
            size_t endA = i, endB = j;
            while (endA < a.size() && IsDigit(a[endA])) ++endA;
            while (endB < b.size() && IsDigit(b[endB])) ++endB;
            size_t startA = i, startB = j;
            while (startA + 1 < endA && a[startA] == '0') ++startA;
            while (startB + 1 < endB && b[startB] == '0') ++startB;
            if (endA - startA != endB - startB) return endA - startA < endB - startB;
            const int order = a.compare(startA, endA - startA, b, startB, endB - startB);
            if (order != 0) return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<SerialPortInfo> ListSerialPorts() {
    const char* named = std::getenv("TOVREL_PORTS");
    std::vector<SerialPortInfo> ports = named != nullptr ? NamedPorts(named) : EnumerateSerialPorts();
    ports.erase(std::remove_if(ports.begin(), ports.end(), [](const SerialPortInfo& p) { return IsCom1OrCom2(p.name); }),
                ports.end());
    const auto byName = [](const SerialPortInfo& x, const SerialPortInfo& y) { return SerialPortNameLess(x.name, y.name); };
    std::stable_sort(ports.begin(), ports.end(), byName);
    // A port named twice, or reached twice, is listed once.
    ports.erase(std::unique(ports.begin(), ports.end(),
                            [](const SerialPortInfo& x, const SerialPortInfo& y) { return x.name == y.name; }),
                ports.end());
    for (SerialPortInfo& port : ports) {
        port.console = IsKernelConsole(port.name.c_str());
        port.description = DescribePort(port, kEnglishPortWords);
    }
    return ports;
}
