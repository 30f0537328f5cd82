// The dialog's message boxes: owned by the dialog, the application's name as
// caption (wide enough to show it), an OK button only, no icon. They block
// until OK, Enter, Esc or the close box ends them, and take input even in
// the middle of a handler's exchanges.
#ifndef TOVREL_APP_MESSAGEBOX_H
#define TOVREL_APP_MESSAGEBOX_H

#include <QString>

class QWidget;

// The caption every box carries: the application's name, "Tovrel".
QString MessageBoxCaption();

void ShowMessageBox(QWidget* owner, const QString& text);

#endif
