#include "ModuleSearch.h"

#include "serial/SerialChannel.h"

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

bool SearchModule(const std::vector<std::string>& listedPorts, ModuleFound* found, SearchAttemptHook hook,
                  void* context) {
    const int ports = 2 + static_cast<int>(listedPorts.size());
    for (int portIndex = 0; portIndex < ports; ++portIndex) {
        const bool listed = portIndex >= 2;
        for (int baudIndex = 0; baudIndex < 8; ++baudIndex) {
            if (hook != nullptr) hook(portIndex, baudIndex, context);
            const int rate = kModuleBaudRates[baudIndex];
            const bool opened = listed ? ReopenSerialChannelOn(listedPorts[portIndex - 2].c_str(), rate)
                                       : ReopenSerialChannel(portIndex + 1, rate);
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

bool SearchModule(ModuleFound* found, SearchAttemptHook hook, void* context) {
    return SearchModule({}, found, hook, context);
}
