// A question with buttons of the program's own words. MessageBox's Yes, No
// and Cancel speak the system's language, so the box is a dialog of ours,
// made from a template as the others are and laid out to its text when it
// opens. Like a message box: the application's name as caption, no icon,
// the text in a static of id 0xFFFF, centred on its owner.
#ifndef TOVREL_APP_WIN32_QUESTIONBOX_H
#define TOVREL_APP_WIN32_QUESTIONBOX_H

#include <string>
#include <vector>

#include "Win32Api.h"

// The buttons left to right; the index of the one chosen. Enter takes
// defaultButton (or the button with the focus), Esc and the close box the
// last.
int AskInQuestionBox(HWND owner, const std::string& text, const std::vector<std::string>& buttons, int defaultButton);

#endif
