#include "MessageBox.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

#include "ExchangeScope.h"
#include "app/Resources.h"

namespace {

// Room the window manager's title bar needs beside the caption: the close
// box and the margins.
constexpr int kTitleBarExtra = 120;

}  // namespace

QString MessageBoxCaption() { return QString::fromUtf8(kApplicationName); }

void ShowMessageBox(QWidget* owner, const QString& text) {
    ExchangeScope::ModalPause pause;
    QMessageBox box(QMessageBox::NoIcon, MessageBoxCaption(), text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);
    QPushButton* ok = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    // A box for a short text would be narrower than its caption.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width = QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + kTitleBarExtra;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.exec();
}
