// The dialog's message boxes: owned by the dialog, the application's name as
// caption (wide enough to show it), no icon, an OK button or the buttons of
// a question. They block until a button, Enter, Esc or the close box ends
// them, and take input even in the middle of a handler's exchanges.
#ifndef TOVREL_APP_MESSAGEBOX_H
#define TOVREL_APP_MESSAGEBOX_H

#include <QString>
#include <QStringList>

class QWidget;

// The caption every box carries: the application's name, "Tovrel".
QString MessageBoxCaption();

void ShowMessageBox(QWidget* owner, const QString& text);

// The buttons left to right; the index of the one chosen. Esc and the
// close box choose the last.
int AskInMessageBox(QWidget* owner, const QString& text, const QStringList& buttons, int defaultButton);

#endif
