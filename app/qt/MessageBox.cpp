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

int AskInMessageBox(QWidget* owner, const QString& text, const QStringList& buttons, int defaultButton) {
    ExchangeScope::ModalPause pause;
    QMessageBox box(QMessageBox::NoIcon, MessageBoxCaption(), text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);
    // One role for all: the buttons stay in the order given.
    QList<QPushButton*> added;
    for (const QString& label : buttons)
        added << box.addButton(label, buttons.size() == 1 ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
    box.setDefaultButton(added.value(defaultButton, added.first()));
    box.setEscapeButton(added.last());
    // A box for a short text would be narrower than its caption.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width = QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + kTitleBarExtra;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.exec();
    const qsizetype chosen = added.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
    return chosen < 0 ? static_cast<int>(added.size()) - 1 : static_cast<int>(chosen);
}

void ShowMessageBox(QWidget* owner, const QString& text) { AskInMessageBox(owner, text, {QStringLiteral("确定")}, 0); }
