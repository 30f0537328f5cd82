#include "ModuleClock.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

std::string Format(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    char text[48];
    std::snprintf(text, sizeof text, "20%02u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
    return text;
}

}  // namespace

std::string ClockText(const DeviceInfo& i) { return Format(i.year, i.month, i.day, i.hour, i.minute, i.second); }

std::string ClockText(const DeviceSettings& s) { return Format(s.year, s.month, s.day, s.hour, s.minute, s.second); }

bool ParseClock(const std::string& text, DeviceSettings* settings) {
    unsigned yy, mo, dd, hh, mi, ss;
    char tail;
    if (std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u%c", &yy, &mo, &dd, &hh, &mi, &ss, &tail) != 6) return false;
    if (yy > 99 || mo < 1 || mo > 12 || dd < 1 || dd > 31 || hh > 23 || mi > 59 || ss > 59) return false;
    settings->year = static_cast<uint8_t>(yy);
    settings->month = static_cast<uint8_t>(mo);
    settings->day = static_cast<uint8_t>(dd);
    settings->hour = static_cast<uint8_t>(hh);
    settings->minute = static_cast<uint8_t>(mi);
    settings->second = static_cast<uint8_t>(ss);
    return true;
}

void ClockNow(DeviceSettings* settings) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    settings->year = static_cast<uint8_t>(local.tm_year % 100);
    settings->month = static_cast<uint8_t>(local.tm_mon + 1);
    settings->day = static_cast<uint8_t>(local.tm_mday);
    settings->hour = static_cast<uint8_t>(local.tm_hour);
    settings->minute = static_cast<uint8_t>(local.tm_min);
    settings->second = static_cast<uint8_t>(local.tm_sec);
}
