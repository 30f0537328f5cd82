#include "FileOpenDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>

#include "ExchangeScope.h"

QString ChooseFileToOpen(QWidget* owner) {
    ExchangeScope::ModalPause pause;
    // Every file is offered: "*.*" would hide names without a dot.
    QFileDialog dialog(owner, QString(), QDir::currentPath(), QStringLiteral(" Files(*)"));
    dialog.setObjectName(QStringLiteral("FileOpenDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen.first());
}
