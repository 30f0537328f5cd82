#include "ModuleSearch.h"

#include "serial/SerialChannel.h"
#include "serial/SerialPorts.h"

namespace {

bool OpenAt(int rate) {
    if (theSerialChannel.SelectBaudRate(rate) == 0) return false;
    return theSerialChannel.Open(8, 0, 0) == kSerialOk;
}

}  // namespace

bool ReopenSerialChannel(int portNumber, int rate) {
    theSerialChannel.Close(true);
    if (theSerialChannel.SelectPort(portNumber) == 0) return false;
    return OpenAt(rate);
}

bool ReopenSerialChannelOn(const char* portName, int rate) {
    theSerialChannel.Close(true);
    theSerialChannel.SelectPortName(portName);
    return OpenAt(rate);
}

bool SearchModule(const std::vector<std::string>& listedPorts, ModuleFound* found, const SearchOptions& options) {
    static const char* const kComNames[] = {"COM1", "COM2"};
    found->skippedPorts.clear();
    const int ports = 2 + static_cast<int>(listedPorts.size());
    for (int portIndex = 0; portIndex < ports; ++portIndex) {
        const bool listed = portIndex >= 2;
        const char* name = listed ? listedPorts[portIndex - 2].c_str() : kComNames[portIndex];
        if (IsUnnamedKernelConsole(name, options.namedPort)) {
            found->skippedPorts.push_back(portIndex);
            if (options.skipped != nullptr) options.skipped(portIndex, options.context);
            continue;
        }
        for (int baudIndex = 0; baudIndex < 8; ++baudIndex) {
            if (options.attempted != nullptr) options.attempted(portIndex, baudIndex, options.context);
            const int rate = kModuleBaudRates[baudIndex];
            const bool opened = listed ? ReopenSerialChannelOn(name, rate) : ReopenSerialChannel(portIndex + 1, rate);
            if (!opened) break;
            DeviceInfo info{};
            if (DiskGetInfo(&info)) {
                found->portIndex = portIndex;
                found->portName = theSerialChannel.m_pszPortName;
                found->baudIndex = baudIndex;
                found->info = info;
                return true;
            }
        }
    }
    return false;
}

bool SearchModule(const std::vector<std::string>& listedPorts, ModuleFound* found, SearchAttemptHook hook,
                  void* context) {
    SearchOptions options;
    options.attempted = hook;
    options.context = context;
    return SearchModule(listedPorts, found, options);
}

bool SearchModule(ModuleFound* found, SearchAttemptHook hook, void* context) {
    return SearchModule({}, found, hook, context);
}

bool FindModuleOn(const char* portName, int* baudIndex, DeviceInfo* info) {
    const std::string name(portName);  // the channel's own copy may be the name given
    for (int index = 0; index < 8; ++index) {
        if (!ReopenSerialChannelOn(name.c_str(), kModuleBaudRates[index])) return false;
        if (DiskGetInfo(info)) {
            *baudIndex = index;
            return true;
        }
    }
    return false;
}
