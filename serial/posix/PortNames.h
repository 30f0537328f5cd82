// How the Linux layer turns a port name into a device: the COM namespace
// of a Windows box, over the environment.
#ifndef TOVREL_SERIAL_POSIX_PORTNAMES_H
#define TOVREL_SERIAL_POSIX_PORTNAMES_H

#include <string>

// "COMn" (1 to 255): the device path in $TOVREL_COMn if set and not empty,
// else /dev/ttyS(n-1). An absolute path: itself. Anything else: empty.
std::string DevicePathOf(const char* portName);

// The path with every symbolic link resolved, or empty (errno set) when it
// names nothing.
std::string ResolvedPath(const std::string& path);

#endif
