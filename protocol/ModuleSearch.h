// Finding the module when it does not answer on the port and rate in use:
// COM1, then COM2, each at the eight module rates from the slowest up.
#ifndef TOVREL_PROTOCOL_MODULESEARCH_H
#define TOVREL_PROTOCOL_MODULESEARCH_H

#include "DeviceCommands.h"

// Closes theSerialChannel (dropping DTR and RTS) and opens it on the port
// (1 = COM1) at the rate, 8 data bits, no parity, one stop bit. True when
// open. Shows nothing.
bool ReopenSerialChannel(int portNumber, int rate);

struct ModuleFound {
    int portIndex = 0;  // 0 = COM1, 1 = COM2
    int baudIndex = 0;  // index into kModuleBaudRates where it answered
    DeviceInfo info{};  // what it reported there
};

// Called before each attempt, for a caller that shows progress; may be null.
using SearchAttemptHook = void (*)(int portIndex, int baudIndex, void* context);

// Tries every rate on COM1, then on COM2, with one status request each; a
// port that cannot be opened ends its part at once. True when the module
// answered: the channel stays open on that port and rate. False when it
// never did: the channel is left as the last attempt left it (closed if an
// opening failed). At most 16 status requests.
bool SearchModule(ModuleFound* found, SearchAttemptHook hook = nullptr, void* context = nullptr);

#endif
