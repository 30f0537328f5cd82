// The Windows side of a CDialog, for the framework's own pieces: the window
// that stands for a dialog, and the one that owns what is shown without an
// owner of its own.
#ifndef TOVREL_APP_WIN32_WIN32DIALOG_H
#define TOVREL_APP_WIN32_WIN32DIALOG_H

#include "Win32Api.h"

// The dialog's window; null before DoModal or Create made it and after it
// ended.
HWND DialogWindowOf(const CDialog& dialog);
// The newest dialog window on screen, or null.
HWND NewestDialogShown();
// The owner for a box or dialog asked for by `dialog` (may be null).
HWND OwnerWindowFor(const CDialog* dialog);
// Moves a window to the middle of its owner (of the work area when the
// owner is hidden, minimised or null).
void CentreOn(HWND window, HWND owner);

#endif
