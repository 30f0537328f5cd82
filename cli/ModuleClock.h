// The module's clock as the client reads, writes and shows it: two-digit
// years from 2000, shown as "2026-12-08 04:09:09" wherever it appears.
#ifndef TOVREL_CLI_MODULECLOCK_H
#define TOVREL_CLI_MODULECLOCK_H

#include <string>

#include "protocol/DeviceCommands.h"

std::string ClockText(const DeviceInfo& info);
std::string ClockText(const DeviceSettings& settings);

// 'YY-MM-DD hh:mm:ss' (fields of one or two digits) into the clock fields;
// false (fields untouched, *why saying what is wrong) when it is not that,
// or names a time that does not exist: Feb 29 of a year that is no leap
// year (the module's years are 2000 to 2099), Apr 31, hour 24.
bool ParseClock(const std::string& text, DeviceSettings* settings, std::string* why = nullptr);
// The PC's local time into the clock fields.
void ClockNow(DeviceSettings* settings);
// The clock fields carried forward by `seconds`, through months and leap
// years, no further than 2099-12-31 23:59:59. A clock whose fields name no
// time (month 13, hour 24) is left as it is.
void AdvanceClock(DeviceSettings* settings, int64_t seconds);
// The clock of a status report, as settings' fields.
void ClockOf(const DeviceInfo& info, DeviceSettings* settings);

#endif
