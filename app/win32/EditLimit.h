// Caps what can be typed or pasted into an edit at a number of bytes of
// code page 936 (a Chinese character counts two), as an edit's own limit
// does for a program working in that code page. The system's limit counts
// UTF-16 units; it is set too, as a backstop.
#ifndef TOVREL_APP_WIN32_EDITLIMIT_H
#define TOVREL_APP_WIN32_EDITLIMIT_H

#include "Win32Api.h"

void LimitEditToCp936Bytes(HWND edit, int maxBytes);

#endif
