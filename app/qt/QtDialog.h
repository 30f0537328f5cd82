// The Qt side of a CDialog, for the framework's own pieces, tools and
// tests: the window that stands for the dialog, and its system menu.
#ifndef TOVREL_APP_QT_QTDIALOG_H
#define TOVREL_APP_QT_QTDIALOG_H

#include "app/DialogFramework.h"

class QDialog;
class QWidget;
class QIcon;
class SystemMenu;

// The dialog's window; null before DoModal or Create made it.
QDialog* QtWindowOf(const CDialog& dialog);
// Its system menu; null before the window exists.
SystemMenu* QtSystemMenuOf(const CDialog& dialog);
// The newest dialog window on screen, or null: the owner of what is shown
// without a parent of its own.
QWidget* QtNewestDialogShown();
// An icon handle as the QIcon it stands for.
const QIcon& QtIcon(IconHandle icon);

#endif
