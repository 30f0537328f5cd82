// The file-open dialog: the platform's own where it has one, Qt's where it
// has none (no desktop, the offscreen platform), since a native one would
// hang there.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QScreen>
#include <QStringList>
#include <QTreeView>

#include <algorithm>

#include "ExchangeScope.h"
#include "QtDialog.h"
#include "app/DialogFramework.h"

namespace {

// "description|pattern|...||" as Qt's "description (pattern)" list, the
// description as given ("Files"), the patterns as Qt writes them. Windows
// reads "*.*" as every file, and a bare ".*" would offer none but the
// hidden ones: both mean every file here, "*".
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
        filters << description.trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

// The list's sizes in the window's locale ("12 字节"): Qt writes them in
// the system's, English unless the user's locale is Chinese.
class ChineseSizes : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role == Qt::DisplayRole && index.column() == 1 && files != nullptr && !files->isDir(mapToSource(index)))
            return QLocale().formattedDataSize(files->size(mapToSource(index)));
        return QIdentityProxyModel::data(index, role);
    }
};

// Qt sizes the list's columns for English ("128.88 GB", "mp3Folder"):
// once a folder is read, each column after the name is as wide as what it
// shows ("2,000 字节", "txt 文件", a Chinese date), and the dialog wide
// enough for all of them, up to the screen's width.
void FitColumnsOnceRead(QFileDialog* dialog) {
    auto* list = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    auto* model = dialog->findChild<QFileSystemModel*>();
    if (list == nullptr || model == nullptr) return;
    QObject::connect(model, &QFileSystemModel::directoryLoaded, list, [dialog, list] {
        for (int column = 1; column < list->header()->count(); ++column) {
            const int before = list->columnWidth(column);
            list->resizeColumnToContents(column);  // its cells and its header
            if (list->columnWidth(column) < before) list->setColumnWidth(column, before);
        }
        const int missing = list->header()->length() - list->viewport()->width();
        if (missing <= 0) return;
        const QScreen* screen = dialog->screen();
        const int widest = screen != nullptr ? screen->availableGeometry().width() : dialog->width() + missing;
        dialog->resize(std::min(dialog->width() + missing, widest), dialog->height());
    });
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
    // Qt's own dialog only: a platform's has its own list.
    dialog.setProxyModel(new ChineseSizes(&dialog));
    FitColumnsOnceRead(&dialog);
    if (dialog.exec() != QDialog::Accepted) return IDCANCEL;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return IDCANCEL;
    m_strPathName = QDir::toNativeSeparators(chosen.first()).toStdString();
    return IDOK;
}
