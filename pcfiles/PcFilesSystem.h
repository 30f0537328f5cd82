// The system's calls and reasons in messages, shared by the PC file code.
#ifndef TOVREL_PCFILES_PCFILESSYSTEM_H
#define TOVREL_PCFILES_PCFILESSYSTEM_H

#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "text/WideText.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pcfiles {

#ifdef _WIN32
// The text of a GetLastError() code, without its trailing full stop.
std::string SystemReason(unsigned long code);
#else
// "where: " and strerror(errno).
std::string Reason(const std::string& where);
#endif

// Why no file could be made at `tried` beside `path`, for messages: names
// path, the file asked for, and its folder, rather than the name tried
// (a temporary or partial file). `code`: errno, on Windows GetLastError().
std::string CannotCreate(const std::string& path, const std::string& tried, unsigned long code);

}  // namespace pcfiles

#ifdef _WIN32
using pcfiles::SystemReason;
#else
using pcfiles::Reason;
#endif

#endif
