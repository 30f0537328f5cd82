// The Windows API as the framework uses it: always after the framework's
// own header, whose IDOK, BN_CLICKED and the like windows.h would otherwise
// turn into numbers before they are declared (WindowsNameMacros.h drops its
// macros that share a name with CDialog's members).
#ifndef TOVREL_APP_WIN32_WIN32API_H
#define TOVREL_APP_WIN32_WIN32API_H

#include "app/DialogFramework.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include "app/WindowsNameMacros.h"

#endif
