// The module's clock as the client reads, writes and shows it: two-digit
// years from 2000, shown as "2026-12-08 04:09:09" wherever it appears.
#ifndef TOVREL_CLI_MODULECLOCK_H
#define TOVREL_CLI_MODULECLOCK_H

#include <string>

#include "protocol/DeviceCommands.h"

std::string ClockText(const DeviceInfo& info);
std::string ClockText(const DeviceSettings& settings);

// 'YY-MM-DD hh:mm:ss' into the clock fields; false (fields untouched) when
// it is not that or a field is out of range.
bool ParseClock(const std::string& text, DeviceSettings* settings);
// The PC's local time into the clock fields.
void ClockNow(DeviceSettings* settings);

#endif
