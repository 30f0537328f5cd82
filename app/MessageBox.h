// The dialog's message boxes: owned by the dialog, the executable's name
// (without extension) as caption, an OK button only, no icon. They block
// until OK, Enter, Esc or the close box ends them.
#ifndef TOVREL_APP_MESSAGEBOX_H
#define TOVREL_APP_MESSAGEBOX_H

#include <QString>

class QWidget;

// The caption every box carries: the program's file name without extension.
QString MessageBoxCaption();

void ShowMessageBox(QWidget* owner, const QString& text);

#endif
