// The file-open dialog of 写文件: an existing file to read, chosen by the
// user. The platform's own dialog where it has one; Qt's where it has none
// (no desktop, the offscreen platform), since a native one would hang there.
#ifndef TOVREL_APP_FILEOPENDIALOG_H
#define TOVREL_APP_FILEOPENDIALOG_H

#include <QString>

class QWidget;

// The chosen file's full path, or empty when the user cancelled.
QString ChooseFileToOpen(QWidget* owner);

#endif
