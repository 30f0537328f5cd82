#include "QtDialogBuilder.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>

namespace {

// Enter breaks the line, with or without Ctrl: text being typed is never
// the dialog's to end. Shift+Enter too, as a line break, not Qt's
// paragraph separator.
class DialogMultiLineEdit : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            insertPlainText(QStringLiteral("\n"));
            return;
        }
        QPlainTextEdit::keyPressEvent(event);
    }
};

// A combo that tells before its list drops down, so the list can be
// refreshed first. Its list is as wide as its longest item (a port's name
// and description), up to the screen's width. The wheel changes it only
// while it has the focus, as in a Windows dialog: a wheel turned over the
// window to scroll must not pick another port.
class DropDownCombo : public QComboBox {
public:
    DropDownCombo(QWidget* parent, std::function<void()> onDropDown)
        : QComboBox(parent), m_onDropDown(std::move(onDropDown)) {
        connect(this, &QComboBox::currentTextChanged, this, &DropDownCombo::ShowCutTextAsTip);
    }
    void showPopup() override {
        if (m_onDropDown) m_onDropDown();
        const QFontMetrics metrics(view()->font());
        int widest = 0;
        for (int i = 0; i < count(); ++i) widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
        const int frame = 2 * view()->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                          4 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + metrics.averageCharWidth() * 2;
        const QScreen* where = screen();
        const int screenWidth = where != nullptr ? where->availableGeometry().width() : widest + frame;
        view()->setMinimumWidth(std::min(widest + frame, screenWidth));
        QComboBox::showPopup();
    }

protected:
    void wheelEvent(QWheelEvent* event) override {
        if (hasFocus())
            QComboBox::wheelEvent(event);
        else
            event->ignore();
    }
    void resizeEvent(QResizeEvent* event) override {
        QComboBox::resizeEvent(event);
        ShowCutTextAsTip(currentText());
    }

private:
    // What the closed field cuts off (a port's details and whole path) is
    // its tooltip; text that fits needs none.
    void ShowCutTextAsTip(const QString& text) {
        const QLineEdit* edit = lineEdit();
        const bool fits = edit == nullptr || edit->fontMetrics().horizontalAdvance(text) <= edit->contentsRect().width();
        setToolTip(fits ? QString() : text);
    }

    std::function<void()> m_onDropDown;
};

int MulDiv(int value, int numerator, int denominator) {
    return static_cast<int>((static_cast<long long>(value) * numerator + denominator / 2) / denominator);
}

QWidget* CreateControl(QDialog* dialog, const ControlTemplate& control, const QIcon& icon,
                       const std::function<void(int)>& onDropDown) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
        case ControlKind::kGroupBox:
            return new QGroupBox(text, dialog);
        case ControlKind::kLabel:
        case ControlKind::kStatus: {
            auto* label = new QLabel(text, dialog);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            return label;
        }
        case ControlKind::kIcon: {
            auto* label = new QLabel(dialog);
            label->setPixmap(icon.pixmap(32, 32));
            return label;
        }
        case ControlKind::kEdit:
            return new QLineEdit(text, dialog);
        case ControlKind::kMultiLineEdit: {
            auto* edit = new DialogMultiLineEdit(text, dialog);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            // Lines are not wrapped: the edit scrolls sideways with the caret.
            edit->setLineWrapMode(QPlainTextEdit::NoWrap);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setTabChangesFocus(true);
            return edit;
        }
        case ControlKind::kButton:
        case ControlKind::kDefaultButton: {
            auto* button = new QPushButton(text, dialog);
            button->setAutoDefault(false);
            button->setDefault(control.kind == ControlKind::kDefaultButton);
            return button;
        }
        case ControlKind::kDropDownCombo: {
            const int id = control.id;
            auto* combo = new DropDownCombo(dialog, [onDropDown, id] {
                if (onDropDown) onDropDown(id);
            });
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);  // typing never adds items
            combo->setCompleter(nullptr);                 // nor completes "1" to "14400"
            // Nor is text typed and left, or typed and entered, a selection
            // of the list: Qt would activate a matching item then, and
            // Enter in the field is the dialog's.
            QLineEdit* edit = combo->lineEdit();
            QObject::disconnect(edit, &QLineEdit::editingFinished, combo, nullptr);
            QObject::disconnect(edit, &QLineEdit::returnPressed, combo, nullptr);
            return combo;
        }
    }
    return nullptr;
}

}  // namespace

QFont DialogFont(const DialogTemplate& dialogTemplate) {
    const char* const kPreferred[] = {
        dialogTemplate.fontFace, "SimSun", "宋体", "NSimSun", "Noto Sans CJK SC", "Noto Serif CJK SC", "Source Han Sans SC",
        "WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "AR PL UMing CN", "Droid Sans Fallback",
    };
    const QStringList installed = QFontDatabase::families();
    for (const char* family : kPreferred) {
        const QString name = QString::fromUtf8(family);
        if (installed.contains(name, Qt::CaseInsensitive)) return QFont(name, dialogTemplate.fontPoints);
    }
    // Any family that can write Chinese.
    for (const QString& family : QFontDatabase::families(QFontDatabase::SimplifiedChinese))
        return QFont(family, dialogTemplate.fontPoints);
    QFont fallback;
    fallback.setPointSize(dialogTemplate.fontPoints);
    return fallback;
}

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((width / 26 + 1) / 2, metrics.height());
}

QRect MapDialogRect(const QRect& units, const QSize& base) {
    return QRect(MulDiv(units.x(), base.width(), 4), MulDiv(units.y(), base.height(), 8),
                 MulDiv(units.width(), base.width(), 4), MulDiv(units.height(), base.height(), 8));
}

QString ControlName(int id) { return id == kNoId ? QStringLiteral("IDC_STATIC") : QStringLiteral("IDC_%1").arg(id); }

void BuildDialog(QDialog* dialog, const DialogTemplate& dialogTemplate, const QIcon& icon,
                 const std::function<void(int)>& onDropDown) {
    const QFont font = DialogFont(dialogTemplate);
    dialog->setFont(font);
    dialog->setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    const QSize base = DialogBaseUnits(font);
    dialog->setFixedSize(MapDialogRect(QRect(0, 0, dialogTemplate.cx, dialogTemplate.cy), base).size());

    QWidget* previous = nullptr;
    for (std::size_t i = 0; i < dialogTemplate.controlCount; ++i) {
        const ControlTemplate& control = dialogTemplate.controls[i];
        QWidget* widget = CreateControl(dialog, control, icon, onDropDown);
        widget->setObjectName(ControlName(control.id));
        widget->setGeometry(MapDialogRect(QRect(control.x, control.y, control.cx, control.cy), base));
        if (!TakesFocus(control.kind)) {
            widget->setFocusPolicy(Qt::NoFocus);
            continue;
        }
        widget->setFocusPolicy(Qt::StrongFocus);
        if (previous != nullptr) QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

int ComboCurSel(const QComboBox* combo) {
    const int index = combo->currentIndex();
    if (!combo->isEditable() || (index >= 0 && combo->currentText() == combo->itemText(index))) return index;
    // Text typed into the edit field selects nothing unless it is an item.
    return combo->findText(combo->currentText(), Qt::MatchExactly);
}

void ComboSetCurSel(QComboBox* combo, int index) {
    combo->setCurrentIndex(index);
    // setCurrentIndex leaves typed text alone when the index is unchanged.
    if (combo->isEditable()) combo->setEditText(combo->itemText(index));
    ShowComboTextFromStart(combo);
}

void ShowComboTextFromStart(QComboBox* combo) {
    // A long item shows its start, the port's name, not its tail.
    if (combo->lineEdit() != nullptr) combo->lineEdit()->setCursorPosition(0);
}

QWidget* DialogItem(const QWidget* dialog, int id) {
    return dialog->findChild<QWidget*>(ControlName(id), Qt::FindDirectChildrenOnly);
}
