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

// Reads one field of one or two decimal digits at text[*at], then the
// separator that must follow it ('\0': the end).
bool Field(const std::string& text, size_t* at, char separator, unsigned* value) {
    size_t i = *at;
    unsigned v = 0;
    while (i < text.size() && i - *at < 2 && text[i] >= '0' && text[i] <= '9') v = v * 10 + unsigned(text[i++] - '0');
    if (i == *at) return false;
    if (separator == '\0' ? i != text.size() : i >= text.size() || text[i] != separator) return false;
    *at = i + 1;
    *value = v;
    return true;
}

unsigned DaysIn(unsigned month, unsigned year) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Years 2000 to 2099: every fourth is a leap year, 2000 included.
    return month == 2 && year % 4 == 0 ? 29 : kDays[month - 1];
}

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

}  // namespace

std::string ClockText(const DeviceInfo& i) { return Format(i.year, i.month, i.day, i.hour, i.minute, i.second); }

std::string ClockText(const DeviceSettings& s) { return Format(s.year, s.month, s.day, s.hour, s.minute, s.second); }

bool ParseClock(const std::string& text, DeviceSettings* settings, std::string* why) {
    unsigned yy = 0, mo = 0, dd = 0, hh = 0, mi = 0, ss = 0;
    size_t at = 0;
    std::string problem;
    if (!Field(text, &at, '-', &yy) || !Field(text, &at, '-', &mo) || !Field(text, &at, ' ', &dd) ||
        !Field(text, &at, ':', &hh) || !Field(text, &at, ':', &mi) || !Field(text, &at, '\0', &ss)) {
        problem = "not 'YY-MM-DD hh:mm:ss'";
    } else if (mo < 1 || mo > 12) {
        problem = "there is no month " + std::to_string(mo);
    } else if (dd < 1 || dd > DaysIn(mo, yy)) {
        problem = std::string(kMonthNames[mo - 1]) + " " + std::to_string(2000 + yy) + " has no day " + std::to_string(dd);
    } else if (hh > 23 || mi > 59 || ss > 59) {
        problem = "the time of day runs from 00:00:00 to 23:59:59";
    }
    if (!problem.empty()) {
        if (why != nullptr) *why = problem;
        return false;
    }
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

void ClockOf(const DeviceInfo& info, DeviceSettings* settings) {
    settings->year = info.year;
    settings->month = info.month;
    settings->day = info.day;
    settings->hour = info.hour;
    settings->minute = info.minute;
    settings->second = info.second;
}

void AdvanceClock(DeviceSettings* s, int64_t seconds) {
    if (s->year > 99 || s->month < 1 || s->month > 12 || s->day < 1 || s->day > DaysIn(s->month, s->year) ||
        s->hour > 23 || s->minute > 59 || s->second > 59 || seconds <= 0)
        return;
    int64_t days = seconds / 86400;
    int64_t time = s->hour * 3600 + s->minute * 60 + s->second + seconds % 86400;
    days += time / 86400;
    time %= 86400;
    unsigned year = s->year, month = s->month, day = s->day;
    while (days > 0) {
        const int64_t left = DaysIn(month, year) - day;  // days to the month's last
        if (days <= left) {
            day += static_cast<unsigned>(days);
            break;
        }
        days -= left + 1;
        day = 1;
        if (++month > 12) {
            month = 1;
            if (++year > 99) {
                year = 99, month = 12, day = 31, time = 86399;
                break;
            }
        }
    }
    s->year = static_cast<uint8_t>(year);
    s->month = static_cast<uint8_t>(month);
    s->day = static_cast<uint8_t>(day);
    s->hour = static_cast<uint8_t>(time / 3600);
    s->minute = static_cast<uint8_t>(time / 60 % 60);
    s->second = static_cast<uint8_t>(time % 60);
}
