// theSerialChannel as the handlers reach it. On Windows the channel's header
// brings in windows.h, whose ANSI/Unicode macros share names with the
// framework's members (CComboBox::GetWindowText, CDialog::SetDlgItemText,
// ...) and would rename them in the code that follows.
#ifndef TOVREL_APP_SERIALCHANNELFORHANDLERS_H
#define TOVREL_APP_SERIALCHANNELFORHANDLERS_H

#include "serial/SerialChannel.h"
#include "WindowsNameMacros.h"

#endif
