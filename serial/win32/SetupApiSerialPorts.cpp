// The port list on Windows: the Ports class of SetupAPI with its friendly
// names, completed from the registry's SERIALCOMM device map, which also
// holds ports no driver package describes (wine's, virtual ones).
#include "serial/CommPlatform.h"
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <string>

#include "serial/SerialPortsPlatform.h"
#include "text/WideText.h"

const char kPortListSeparator = ';';

namespace {

// A string value of the registry, or empty.
std::wstring RegistryText(HKEY key, const wchar_t* value) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return text;
}

std::wstring DeviceText(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    wchar_t text[256] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr) ||
        type != REG_SZ)
        return {};
    return text;
}

bool IsComName(const std::string& name) {
    return name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// "USB Serial Port (COM7)" without " (COM7)": the list shows the name apart.
std::string WithoutPortName(std::string text, const std::string& name) {
    const std::string suffix = " (" + name + ")";
    if (text.size() > suffix.size() && _stricmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0)
        text.resize(text.size() - suffix.size());
    return text;
}

void AddFromSetupApi(std::vector<SerialPortInfo>* ports) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const std::string name = Narrow(RegistryText(key, L"PortName"));
        RegCloseKey(key);
        if (!IsComName(name)) continue;  // printer ports share the class
        SerialPortInfo info;
        info.name = name;
        std::string friendly = Narrow(DeviceText(set, &device, SPDRP_FRIENDLYNAME));
        if (friendly.empty()) friendly = Narrow(DeviceText(set, &device, SPDRP_DEVICEDESC));
        info.model = WithoutPortName(friendly, name);
        info.vendor = Narrow(DeviceText(set, &device, SPDRP_MFG));
        ports->push_back(info);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Ports of the device map that SetupAPI did not list.
void AddFromDeviceMap(std::vector<SerialPortInfo>* ports) {
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t device[256] = {};
        DWORD deviceLength = 255;
        wchar_t port[64] = {};
        DWORD portSize = sizeof port - sizeof(wchar_t);
        DWORD type = 0;
        const LONG rc = RegEnumValueW(map, i, device, &deviceLength, nullptr, &type, reinterpret_cast<BYTE*>(port), &portSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        const std::string name = Narrow(port);
        bool known = !IsComName(name);
        for (const SerialPortInfo& p : *ports) known = known || _stricmp(p.name.c_str(), name.c_str()) == 0;
        if (known) continue;
        // The kernel's device name (\Device\Serial2) tells a person
        // nothing: a serial port, nothing more known.
        SerialPortInfo info;
        info.name = name;
        ports->push_back(info);
    }
    RegCloseKey(map);
}

}  // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts() {
    std::vector<SerialPortInfo> ports;
    AddFromSetupApi(&ports);
    AddFromDeviceMap(&ports);
    return ports;
}

bool DescribeNamedPort(const std::string& name, SerialPortInfo* info) {
    char target[1024];
    if (!IsComName(name) || QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return false;
    for (const SerialPortInfo& p : EnumerateSerialPorts()) {
        if (_stricmp(p.name.c_str(), name.c_str()) == 0) {
            *info = p;
            return true;
        }
    }
    info->name = name;  // a serial port, nothing more known
    return true;
}

bool IsCom1OrCom2(const std::string& name) { return _stricmp(name.c_str(), "COM1") == 0 || _stricmp(name.c_str(), "COM2") == 0; }

// The kernel keeps its serial console's port from the serial driver: no
// COM name reaches it (SerialPorts.h).
bool IsUnnamedKernelConsole(const char*, const char*) { return false; }
bool IsKernelConsole(const char*) { return false; }
