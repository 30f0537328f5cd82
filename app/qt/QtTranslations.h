// Qt's own texts (the file dialog's buttons and labels, the edits' context
// menus) in Chinese, as the rest of the window is, whatever the user's
// locale. They come from Qt's translation catalogues (Debian package
// qt6-translations-l10n); without them Qt's texts stay English.
#ifndef TOVREL_APP_QTTRANSLATIONS_H
#define TOVREL_APP_QTTRANSLATIONS_H

class QCoreApplication;

// Before the application object is made: the system locale's dates (the
// file dialog's list shows them) Chinese, whatever the user's locale.
void UseChineseDates();

// Makes zh_CN the default locale (the file dialog's sizes and dates) and
// installs the zh_CN catalogue of Qt's base module. False when the
// catalogue is not installed.
bool InstallQtTranslations(QCoreApplication* application);

#endif
