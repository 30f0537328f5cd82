// The file-open dialog: the platform's own where it has one, Qt's where it
// has none (no desktop, the offscreen platform), since a native one would
// hang there.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QStringList>

#include "ExchangeScope.h"
#include "QtDialog.h"
#include "app/DialogFramework.h"

namespace {

// "description|pattern|...||" as Qt's "description (pattern)" list. Windows
// reads "*.*" as every file, and a bare ".*" would offer none but the
// hidden ones: both mean every file here.
QString QtFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns)
            if (pattern == QLatin1String("*.*") || pattern == QLatin1String(".*")) pattern = QStringLiteral("*");
        QString description = parts[i];
        const qsizetype open = description.lastIndexOf(QLatin1Char('('));
        if (open >= 0) description.truncate(open);
        filters << description + QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

}  // namespace

int CFileDialog::DoModal() {
    ExchangeScope::ModalPause pause;
    // No parent given: the active dialog owns it.
    QWidget* owner = m_pParentWnd != nullptr ? QtWindowOf(*m_pParentWnd) : QtNewestDialogShown();
    QFileDialog dialog(owner, QString(), QDir::currentPath(), QtFilter(m_strFilter));
    dialog.setObjectName(QStringLiteral("FileOpenDialog"));
    dialog.setAcceptMode(m_bOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(m_bOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // A name or extension with wildcards only filters, as in the Windows
    // dialog; the filter above does that already.
    if (!m_strDefExt.empty() && m_strDefExt.find_first_of("*?") == std::string::npos)
        dialog.setDefaultSuffix(QString::fromStdString(m_strDefExt));
    if (!m_strFileName.empty() && m_strFileName.find_first_of("*?") == std::string::npos)
        dialog.selectFile(QString::fromStdString(m_strFileName));
    constexpr unsigned kOverwritePrompt = 0x2;  // OFN_OVERWRITEPROMPT
    if ((m_dwFlags & kOverwritePrompt) == 0) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted) return IDCANCEL;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return IDCANCEL;
    m_strPathName = QDir::toNativeSeparators(chosen.first()).toStdString();
    return IDOK;
}
