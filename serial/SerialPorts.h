// The serial ports present on the machine besides COM1 and COM2, for a port
// list that shows COM1 and COM2 first (a window's 串口1 and 串口2, items 0
// and 1) and these after them, and for a search that tries them in the same
// order.
//
// Which ports
//   Linux: the tty devices udev knows (libudev, tty subsystem) that have a
//   device behind them: USB adapters (ttyUSB, ttyACM), UARTs (ttyS and other
//   serial-core ports) whose UART type the kernel knows, and the like.
//   Virtual terminals, pseudo-terminals and ttyS entries without a UART
//   behind them are left out. Windows: the COM ports SetupAPI lists, else
//   those in the registry's SERIALCOMM device map.
//
//   The devices that COM1 and COM2 open are left out, so a caller never
//   shows one port twice: on Linux those TOVREL_COM1/TOVREL_COM2 name, else
//   /dev/ttyS0 and /dev/ttyS1 (compared after resolving symbolic links); on
//   Windows "COM1" and "COM2". Every entry of the list is thus a port other
//   than COM1 and COM2, and a caller tells them apart by position alone.
//
//   TOVREL_PORTS, when set, replaces the enumeration with the devices it
//   names (separated by ':' on Linux, ';' on Windows; empty: none), those
//   that exist, described as far as the platform knows them: a machine's own
//   ports then stay out of a search, and tests get a list they control. A
//   kernel's console stays listed (marked as such, by IsKernelConsole);
//   searches leave it out by IsUnnamedKernelConsole below.
//
// Cost: nothing is opened (an open would raise DTR and RTS); on Linux the
// list is read from sysfs and udev's database, on Windows from SetupAPI and
// the registry. Fast enough to run each time a port list drops down.
#ifndef TOVREL_SERIAL_SERIALPORTS_H
#define TOVREL_SERIAL_SERIALPORTS_H

#include <string>
#include <vector>

struct SerialPortInfo {
    // What SerialChannel::SelectPortName takes: "/dev/ttyUSB0", "COM7".
    std::string name;
    // One line a person recognises, without the name, in English (the
    // client's): "FT232R USB UART (FTDI, serial A50285BI)", "16550A UART".
    // DescribePort words it from the fields below.
    std::string description;
    // Where known, else empty. On Linux from udev's database where udevd
    // filled it (ID_VENDOR_FROM_DATABASE, ID_MODEL_FROM_DATABASE,
    // ID_SERIAL_SHORT), else from the USB device (manufacturer, product,
    // serial). On Windows the friendly name as the model, the maker
    // (SPDRP_MFG) as the vendor.
    std::string vendor;
    std::string model;
    std::string serial;
    // What the port is when no model names it (Linux): the serial core's
    // UART type (-1: no serial-core port), else the driver behind the tty,
    // else whether it is a pseudo-terminal.
    int uartType = -1;
    std::string driver;
    bool pseudoTerminal = false;
    // One of the kernel's consoles (IsKernelConsole).
    bool console = false;
};

// The words of a port's description in one language.
struct PortWords {
    const char* serialPort;      // a port nothing more is known of
    const char* driverPort;      // after a driver's name
    const char* uart;            // after a UART type's name ("16550A")
    const char* uartType;        // before the number of a type without a name
    const char* pseudoTerminal;
    const char* serialNumber;    // before the serial number
    const char* console;         // the kernel's console
    const char* open;            // the details: open, between two, close
    const char* between;
    const char* close;
};
extern const PortWords kEnglishPortWords;

// The line a person recognises, in those words: the model, else what the
// port is; then in brackets `firstDetail` (unless empty), the vendor (unless
// the model says it), the serial number and the console mark.
std::string DescribePort(const SerialPortInfo& port, const PortWords& words, const std::string& firstDetail = {});

// The ports present, in a stable order: by name, runs of digits compared as
// numbers (ttyS2 before ttyS10, COM3 before COM10).
std::vector<SerialPortInfo> ListSerialPorts();

// Orders names as the list does; for a caller that merges lists.
bool SerialPortNameLess(const std::string& a, const std::string& b);

// Whether opening portName ("COM1".."COM6", or a path such as "/dev/ttyS0")
// would reach one of the kernel's consoles although the user never named
// that port. Opening a console changes its line settings, and a search
// would write frames into it: a search leaves such a port out, and a
// window opens it only when the user chooses it.
//
// Linux: the console devices come from the kernel (/proc/consoles, each
// with its major:minor), compared with the device the name opens (COMn as
// SerialChannel opens it: $TOVREL_COMn, else /dev/ttyS(n-1); links
// resolved), never from a device's name. The user has named the console
// when TOVREL_COMn is set for that COMn, when TOVREL_PORTS lists its
// device, or when alsoNamed (a port the user gave for this run, such as a
// --port; null: none) opens the same device. False for a name that opens
// nothing. TOVREL_PROC_CONSOLES, when set, names a file read in place of
// /proc/consoles (tests only: no test can make a terminal a console).
//
// Windows: always false. A serial console there (EMS) belongs to the
// kernel, which keeps the port from the serial driver, so opening its COM
// name cannot reach it.
//
// Cost: a stat of each device and one read of /proc/consoles; nothing is
// opened.
bool IsUnnamedKernelConsole(const char* portName, const char* alsoNamed = nullptr);

// Whether opening portName reaches one of the kernel's consoles, named by
// the user or not: the same test without the exceptions, for a caller that
// marks such a port. Windows: always false.
bool IsKernelConsole(const char* portName);

#endif
