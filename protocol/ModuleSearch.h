// Finding the module when it does not answer on the port and rate in use:
// COM1, then COM2, then each port of a given list (the ports a port list
// shows after COM1 and COM2, serial/SerialPorts.h), each at the eight module
// rates from the slowest up. A port that opens one of the kernel's consoles
// the user did not name is left out (IsUnnamedKernelConsole,
// serial/SerialPorts.h): opening it would change the console's line
// settings and write frames into it.
#ifndef TOVREL_PROTOCOL_MODULESEARCH_H
#define TOVREL_PROTOCOL_MODULESEARCH_H

#include <string>
#include <vector>

#include "DeviceCommands.h"

// Closes theSerialChannel (dropping DTR and RTS) and opens it on the port
// (1 = COM1) at the rate, 8 data bits, no parity, one stop bit. True when
// open. Shows nothing.
bool ReopenSerialChannel(int portNumber, int rate);
// The same for a port by name: "COM1", "/dev/ttyUSB0", "COM7".
bool ReopenSerialChannelOn(const char* portName, int rate);

struct ModuleFound {
    // In the search's order: 0 = COM1, 1 = COM2, 2 + i = the i-th listed
    // port; a port list that shows COM1, COM2 and then the same list has
    // the found port at this index.
    int portIndex = 0;
    std::string portName;  // "COM1", "COM2", or the listed port's name
    int baudIndex = 0;     // index into kModuleBaudRates where it answered
    DeviceInfo info{};     // what it reported there
    // The ports left out as unnamed kernel consoles, by portIndex, in the
    // search's order; set whether the module answered or not (empty: none).
    std::vector<int> skippedPorts;
};

// Called before each attempt, for a caller that shows progress; may be null.
using SearchAttemptHook = void (*)(int portIndex, int baudIndex, void* context);
// Called for a port left out, where its attempts would have come; may be
// null.
using SearchSkipHook = void (*)(int portIndex, void* context);

struct SearchOptions {
    SearchAttemptHook attempted = nullptr;
    SearchSkipHook skipped = nullptr;
    void* context = nullptr;  // passed to both hooks
    // A port the user named for this run ("COM1", "/dev/ttyS0"): tried even
    // where it is a kernel's console. Null: none.
    const char* namedPort = nullptr;
};

// Tries every rate on COM1, then on COM2, then on each listed port, with
// one status request each; a port that cannot be opened (missing, held,
// gone) ends its part at once. True when the module answered: the channel
// stays open on that port and rate. False when it never did: the channel is
// left as the last attempt left it (closed if an opening failed). At most
// 8 status requests a port; none on a port left out.
bool SearchModule(const std::vector<std::string>& listedPorts, ModuleFound* found, const SearchOptions& options);
// The same with an attempt hook alone.
bool SearchModule(const std::vector<std::string>& listedPorts, ModuleFound* found, SearchAttemptHook hook = nullptr,
                  void* context = nullptr);
// COM1 and COM2 alone, for a port list that shows only those two.
bool SearchModule(ModuleFound* found, SearchAttemptHook hook = nullptr, void* context = nullptr);

// One port at the eight rates, from the slowest up; for a module whose rate
// is unknown where it is known to be. True when it answered: the channel
// stays open there, *baudIndex and *info say at what and what it reported.
bool FindModuleOn(const char* portName, int* baudIndex, DeviceInfo* info);

#endif
