// The module's own commands: read its status (0x00) and set its rate and
// clock (0x01). Each is one exchange on theSerialChannel and
// theResponseReceiver; neither shows anything.
#ifndef TOVREL_PROTOCOL_DEVICECOMMANDS_H
#define TOVREL_PROTOCOL_DEVICECOMMANDS_H

#include <cstdint>

// Rates the module knows, by the index that travels as baudIndex.
constexpr int kModuleBaudRates[8] = {4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

// The module's status as DiskGetInfo unpacks it.
struct DeviceInfo {
    uint8_t baudIndex;    // index into kModuleBaudRates
    uint8_t year;         // from 2000, 0..99
    uint8_t month;        // 1..12
    uint8_t day;          // 0..31
    uint8_t hour;         // 0..23
    uint8_t minute;       // 0..59
    uint8_t second;       // 0..59
    uint8_t diskPresent;  // non-zero: a flash disk is attached
    uint8_t fileHandle;   // the module's open file; 0xFF none
    uint32_t fileSize;    // bytes, of the open file
    uint8_t reserved;     // last payload byte, as it came
};

// What DiskSetParams sends; same meanings as the first seven of DeviceInfo.
struct DeviceSettings {
    uint8_t baudIndex;
    uint8_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

// True when the module answered with status 0 (the record then holds its
// report). False otherwise; the record then keeps its fields but for
// diskPresent, which reads 0.
bool DiskGetInfo(DeviceInfo* info);

// True when the module answered with status 0. The answer is read at the
// channel's current rate; moving to a new rate is the caller's business.
bool DiskSetParams(const DeviceSettings* settings);

#endif
