// What ListSerialPorts asks of each platform (posix/UdevSerialPorts.cpp,
// win32/SetupApiSerialPorts.cpp). Not for callers outside serial/.
#ifndef TOVREL_SERIAL_SERIALPORTSPLATFORM_H
#define TOVREL_SERIAL_SERIALPORTSPLATFORM_H

#include <string>
#include <vector>

#include "SerialPorts.h"

// Every serial port the platform knows of, in any order, COM1 and COM2's
// included.
std::vector<SerialPortInfo> EnumerateSerialPorts();

// A port named in TOVREL_PORTS: false when it is not there; else its
// description as far as the platform knows it.
bool DescribeNamedPort(const std::string& name, SerialPortInfo* info);

// Whether a port is what COM1 or COM2 opens.
bool IsCom1OrCom2(const std::string& name);

// The names of a TOVREL_PORTS value, empty ones left out.
std::vector<std::string> SplitPortList(const std::string& names);

// TOVREL_PORTS separates its names with this.
extern const char kPortListSeparator;

#endif
