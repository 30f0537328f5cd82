#include "ModuleSearch.h"

#include "serial/SerialChannel.h"

bool ReopenSerialChannel(int portNumber, int rate) {
    theSerialChannel.Close(true);
    if (theSerialChannel.SelectPort(portNumber) == 0) return false;
    if (theSerialChannel.SelectBaudRate(rate) == 0) return false;
    return theSerialChannel.Open(8, 0, 0) == kSerialOk;
}

bool SearchModule(ModuleFound* found, SearchAttemptHook hook, void* context) {
    for (int portIndex = 0; portIndex < 2; ++portIndex) {
        for (int baudIndex = 0; baudIndex < 8; ++baudIndex) {
            if (hook != nullptr) hook(portIndex, baudIndex, context);
            if (!ReopenSerialChannel(portIndex + 1, kModuleBaudRates[baudIndex])) break;
            DeviceInfo info{};
            if (DiskGetInfo(&info)) {
                found->portIndex = portIndex;
                found->baudIndex = baudIndex;
                found->info = info;
                return true;
            }
        }
    }
    return false;
}
