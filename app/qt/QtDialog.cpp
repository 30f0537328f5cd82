// CDialog over Qt Widgets: a QDialog built from the template, whose events
// become the handlers' calls.
#include "QtDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QValidator>
#include <QWindow>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "ExchangeScope.h"
#include "MessageBox.h"
#include "QtDialogBuilder.h"
#include "SystemMenu.h"
#include "app/Resources.h"
#include "text/Cp936.h"

#include "app/icons/tovrel16.xpm"
#include "app/icons/tovrel32.xpm"

namespace {

constexpr int kIconSize = 32;  // the system's icon width and height

// Caps an edit at a number of code-page-936 bytes, as the edit's own limit
// does for a program working in that code page.
class Cp936LengthValidator : public QValidator {
public:
    Cp936LengthValidator(int maxBytes, QObject* parent) : QValidator(parent), m_maxBytes(maxBytes) {}
    State validate(QString& input, int&) const override {
        return Cp936ByteLength(input.toStdString()) <= static_cast<size_t>(m_maxBytes) ? Acceptable : Invalid;
    }

private:
    int m_maxBytes;
};

QString ToQt(const std::string& text) { return QString::fromStdString(text); }

// The dialogs' windows alive, oldest first: a dialog made without a parent
// is owned by the newest one on screen, as the framework's main window.
std::vector<QDialog*>& LiveDialogs() {
    static std::vector<QDialog*> dialogs;
    return dialogs;
}

QWidget* NewestDialogShown() {
    const std::vector<QDialog*>& dialogs = LiveDialogs();
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it)
        if ((*it)->isVisible()) return *it;
    return nullptr;
}

}  // namespace

// The window of one dialog. Its events call the dialog's handlers; what a
// handler runs for a click or a selection runs in an ExchangeScope.
struct CDialog::Native : QDialog {
    Native(CDialog* owner, const DialogTemplate& dialogTemplate, QWidget* parent)
        : QDialog(parent), m_pOwner(owner) {
        LiveDialogs().push_back(this);
        // Caption and system menu (close box), no minimise or maximise box.
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
        BuildDialog(this, dialogTemplate, QtIcon(LoadIconResource(IDR_MAINFRAME)),
                    [this](int id) { m_pOwner->OnCommand(id, CBN_DROPDOWN); });
        m_pSystemMenu = std::make_unique<SystemMenu>(this, [this](unsigned id) { m_pOwner->OnSysCommand(id, 0); });
        for (const ControlTemplate* control = dialogTemplate.controls;
             control != dialogTemplate.controls + dialogTemplate.controlCount; ++control) {
            if (control->id == kNoId) continue;
            QWidget* widget = DialogItem(this, control->id);
            const int id = control->id;
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                if (id == IDOK) {
                    connect(button, &QPushButton::clicked, this, [this] { Run(&CDialog::OnOK); });
                } else if (id == IDCANCEL) {
                    connect(button, &QPushButton::clicked, this, [this] { Run(&CDialog::OnCancel); });
                } else {
                    connect(button, &QPushButton::clicked, this, [this, id] { Dispatch(id, BN_CLICKED); });
                }
            } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
                // A selection by the user: setting the index from code, or
                // typing into the edit field, is none.
                connect(combo, &QComboBox::activated, this, [this, id, combo] {
                    ShowComboTextFromStart(combo);
                    Dispatch(id, CBN_SELCHANGE);
                });
            }
        }
    }

    ~Native() override {
        std::vector<QDialog*>& dialogs = LiveDialogs();
        dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), this), dialogs.end());
    }

    // No second handler can start inside another's exchanges.
    void Dispatch(int id, int notifyCode) {
        if (ExchangeScope::Active()) return;
        ExchangeScope scope;
        m_pOwner->OnCommand(id, notifyCode);
    }

    // OK and Cancel may ask, then talk to the module: as a handler does.
    void Run(void (CDialog::*handler)()) {
        if (ExchangeScope::Active()) return;
        ExchangeScope scope;
        (m_pOwner->*handler)();
    }

    bool InitDialog() { return m_pOwner->OnInitDialog(); }

    void accept() override { Run(&CDialog::OnOK); }
    void reject() override { Run(&CDialog::OnCancel); }

    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
        if (enter && modifiers == Qt::NoModifier) {
            // A focused button takes Enter; anywhere else it is the dialog's OK.
            if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
                button->click();
            else
                Run(&CDialog::OnOK);
            return;
        }
        if (event->key() == Qt::Key_F1 && modifiers == Qt::NoModifier) {
            m_pOwner->OnHelp();
            return;
        }
        if (event->key() == Qt::Key_Space && modifiers == Qt::AltModifier) {
            m_pSystemMenu->Popup(mapToGlobal(QPoint(0, 0)));
            return;
        }
        QDialog::keyPressEvent(event);
    }

    void contextMenuEvent(QContextMenuEvent* event) override { m_pSystemMenu->Popup(event->globalPos()); }

    // A box asked for before the window was on screen (at start) waits for
    // it: shown before it, the box would stand alone, away from where the
    // window then appears.
    void MessageBox(const QString& text) {
        if (isVisible()) {
            ShowMessageBox(this, text);
            return;
        }
        m_pendingBoxes << text;
    }

    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        // On screen once exposed: a window manager has placed and mapped it.
        if (!m_pendingBoxes.isEmpty() && windowHandle() != nullptr) windowHandle()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
            windowHandle()->removeEventFilter(this);
            // After the expose has been handled, not inside it.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    const QStringList texts = std::exchange(m_pendingBoxes, {});
                    for (const QString& text : texts) ShowMessageBox(this, text);
                },
                Qt::QueuedConnection);
        }
        return QDialog::eventFilter(watched, event);
    }

    void closeEvent(QCloseEvent* event) override {
        // The close box is Cancel; the dialog ends only through EndDialog.
        event->ignore();
        Run(&CDialog::OnCancel);
    }

    void paintEvent(QPaintEvent* event) override {
        m_pPaintEvent = event;
        m_pOwner->OnPaint();
        m_pPaintEvent = nullptr;
    }

    void DefaultPaint() {
        if (m_pPaintEvent != nullptr) QDialog::paintEvent(m_pPaintEvent);
    }

    CDialog* m_pOwner;
    std::unique_ptr<SystemMenu> m_pSystemMenu;
    QPaintEvent* m_pPaintEvent = nullptr;  // during paintEvent only
    QStringList m_pendingBoxes;
};

QDialog* QtWindowOf(const CDialog& dialog) { return dialog.NativeWindow(); }

QWidget* QtNewestDialogShown() { return NewestDialogShown(); }

SystemMenu* QtSystemMenuOf(const CDialog& dialog) {
    return dialog.NativeWindow() != nullptr ? dialog.NativeWindow()->m_pSystemMenu.get() : nullptr;
}

IconHandle LoadIconResource(int resourceId) {
    if (resourceId != IDR_MAINFRAME) return nullptr;
    static const QIcon* const icon = [] {
        auto* made = new QIcon;
        made->addPixmap(QPixmap(tovrel32_xpm));
        made->addPixmap(QPixmap(tovrel16_xpm));
        return made;
    }();
    return icon;
}

const QIcon& QtIcon(IconHandle icon) {
    static const QIcon none;
    return icon != nullptr ? *static_cast<const QIcon*>(icon) : none;
}

CDialog::CDialog(int templateId, CDialog* pParent) : m_nTemplateId(templateId), m_pParent(pParent) {}

CDialog::~CDialog() = default;

namespace {

// Makes the dialog's window and initialises it, not yet shown (a window
// shown before exec() would not be modal); false when there is no template.
bool MakeWindow(CDialog* dialog, int templateId, std::unique_ptr<CDialog::Native>* native, CDialog* parentDialog) {
    const DialogTemplate* dialogTemplate = FindDialogTemplate(templateId);
    if (dialogTemplate == nullptr) return false;
    QWidget* parent = parentDialog != nullptr ? parentDialog->NativeWindow() : NewestDialogShown();
    *native = std::make_unique<CDialog::Native>(dialog, *dialogTemplate, parent);
    if ((*native)->InitDialog()) {
        // The first tab stop, an edit's text selected.
        for (const ControlTemplate* control = dialogTemplate->controls;
             control != dialogTemplate->controls + dialogTemplate->controlCount; ++control) {
            if (control->id != kNoId && TakesFocus(control->kind)) {
                dialog->GotoDlgCtrl(control->id);
                break;
            }
        }
    }
    return true;
}

}  // namespace

int CDialog::DoModal() {
    if (m_pNative == nullptr && !MakeWindow(this, m_nTemplateId, &m_pNative, m_pParent)) return IDCANCEL;
    return m_pNative->exec();
}

bool CDialog::Create() {
    if (m_pNative == nullptr && !MakeWindow(this, m_nTemplateId, &m_pNative, m_pParent)) return false;
    m_pNative->show();
    return true;
}

void CDialog::EndDialog(int result) {
    if (m_pNative != nullptr) m_pNative->done(result);
}

std::string CDialog::GetDlgItemText(int id) const {
    const QWidget* control = DialogItem(m_pNative.get(), id);
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text().toStdString();
    if (const auto* label = qobject_cast<const QLabel*>(control)) return label->text().toStdString();
    if (const auto* text = qobject_cast<const QPlainTextEdit*>(control)) {
        // Line breaks as the module stores them: CR LF.
        return text->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n")).toStdString();
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(control)) return combo->currentText().toStdString();
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text().toStdString();
    return {};
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
    QWidget* control = DialogItem(m_pNative.get(), id);
    const QString value = ToQt(text);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        if (edit->text() != value) edit->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(value);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(control)) {
        QString lines = value;
        lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (plain->toPlainText() != lines) plain->setPlainText(lines);
    } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        combo->setEditText(value);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(value);
    }
}

void CDialog::LimitEditText(int id, int maxBytes) {
    if (auto* edit = qobject_cast<QLineEdit*>(DialogItem(m_pNative.get(), id)); edit != nullptr && edit->validator() == nullptr)
        edit->setValidator(new Cp936LengthValidator(maxBytes, edit));
}

void CDialog::GotoDlgCtrl(int id) {
    QWidget* control = DialogItem(m_pNative.get(), id);
    if (control == nullptr) return;
    control->setFocus(Qt::TabFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->selectAll();
    if (auto* combo = qobject_cast<QComboBox*>(control); combo != nullptr && combo->lineEdit() != nullptr)
        combo->lineEdit()->selectAll();
}

bool CDialog::HasFocus(int id) const {
    const QWidget* control = DialogItem(m_pNative.get(), id);
    const QWidget* focus = QApplication::focusWidget();
    return control != nullptr && focus != nullptr && (focus == control || control->isAncestorOf(focus));
}

namespace {

QComboBox* Combo(const QDialog* dialog, int id) { return qobject_cast<QComboBox*>(DialogItem(dialog, id)); }

}  // namespace

void CDialog::ComboResetContent(int id) { Combo(m_pNative.get(), id)->clear(); }

int CDialog::ComboAddString(int id, const std::string& text) {
    QComboBox* combo = Combo(m_pNative.get(), id);
    combo->addItem(ToQt(text));
    return combo->count() - 1;
}

int CDialog::ComboGetCount(int id) const { return Combo(m_pNative.get(), id)->count(); }

std::string CDialog::ComboGetLBText(int id, int index) const {
    return Combo(m_pNative.get(), id)->itemText(index).toStdString();
}

int CDialog::ComboGetCurSel(int id) const { return ::ComboCurSel(Combo(m_pNative.get(), id)); }

void CDialog::ComboSetCurSel(int id, int index) { ::ComboSetCurSel(Combo(m_pNative.get(), id), index); }

void CDialog::MessageBox(const std::string& text) {
    if (m_pNative != nullptr)
        m_pNative->MessageBox(ToQt(text));
    else
        ShowMessageBox(nullptr, ToQt(text));
}

int CDialog::AskQuestion(const std::string& text, const std::vector<std::string>& buttons, int defaultButton) {
    QStringList labels;
    for (const std::string& label : buttons) labels << ToQt(label);
    return AskInMessageBox(m_pNative.get(), ToQt(text), labels, defaultButton);
}

bool CDialog::HasSystemMenu() const { return m_pNative != nullptr; }

void CDialog::AppendSystemMenuSeparator() { m_pNative->m_pSystemMenu->AppendSeparator(); }

void CDialog::AppendSystemMenuItem(unsigned id, const std::string& text) {
    m_pNative->m_pSystemMenu->AppendItem(id, ToQt(text));
}

void CDialog::SetIcon(IconHandle icon, bool) { m_pNative->setWindowIcon(QtIcon(icon)); }

bool CDialog::IsIconic() const { return m_pNative != nullptr && m_pNative->isMinimized(); }

int CDialog::ClientWidth() const { return m_pNative->width(); }
int CDialog::ClientHeight() const { return m_pNative->height(); }
int CDialog::SystemIconWidth() { return kIconSize; }
int CDialog::SystemIconHeight() { return kIconSize; }

void CDialog::DrawIconAt(int x, int y, IconHandle icon) {
    QPainter painter(m_pNative.get());
    painter.fillRect(m_pNative->rect(), m_pNative->palette().window());
    painter.drawPixmap(x, y, QtIcon(icon).pixmap(kIconSize, kIconSize));
}

void CDialog::DefaultPaint() { m_pNative->DefaultPaint(); }

void CDialog::DefaultSysCommand(unsigned nID, intptr_t) {
    if ((nID & 0xFFF0) == SC_CLOSE_COMMAND) m_pNative->close();
}

void KeepWindowPainted() { ExchangeScope::KeepPainted(); }

bool EndRequested() { return ExchangeScope::EndRequested(); }
