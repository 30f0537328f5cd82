// The Win32 comm calls the serial channel is written against: Windows' own,
// or the Linux layer that provides the same subset over termios.
#ifndef TOVREL_SERIAL_COMMPLATFORM_H
#define TOVREL_SERIAL_COMMPLATFORM_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "posix/Win32Comm.h"
#endif

#endif
