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

}  // namespace

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
    return ports;
}
