// CProgressWindow over Qt: a small dialog with a text, a bar and 取消.
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ExchangeScope.h"
#include "QtDialog.h"
#include "app/DialogFramework.h"

// Ended only by its owner in the code: Esc and the close box do nothing.
struct CProgressWindow::Native : QDialog {
    using QDialog::QDialog;
    void reject() override {}
    void closeEvent(QCloseEvent* event) override { event->ignore(); }

    // The bar repaints at once when its value shows a change, and a new
    // text lays the label out anew: both wait for the next time the window
    // is painted, inside a wait on the line, not between two chunks.
    void Show(const QString& text, int permille) {
        m_pendingText = text;
        m_nPendingValue = permille;
        if (m_bPending) return;
        m_bPending = true;
        QTimer::singleShot(0, this, [this] {
            m_bPending = false;
            if (m_bCancelled) return;
            m_pText->setText(m_pendingText);
            m_pBar->setValue(m_nPendingValue);
        });
    }

    QLabel* m_pText = nullptr;
    QProgressBar* m_pBar = nullptr;
    QPushButton* m_pCancel = nullptr;
    bool m_bCancelled = false;
    bool m_bPending = false;
    QString m_pendingText;
    int m_nPendingValue = 0;
};

CProgressWindow::CProgressWindow(CDialog* owner, const std::string& caption) {
    QWidget* parent = owner != nullptr ? QtWindowOf(*owner) : nullptr;
    m_pNative = std::make_unique<Native>(parent);
    Native& window = *m_pNative;
    window.setObjectName(QStringLiteral("TransferProgress"));
    window.setWindowTitle(parent != nullptr ? parent->windowTitle() : QString());
    window.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(&window);
    window.m_pText = new QLabel(QString::fromStdString(caption), &window);
    window.m_pText->setTextFormat(Qt::PlainText);
    window.m_pText->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // lines stay put as one is added
    window.m_pBar = new QProgressBar(&window);
    window.m_pBar->setRange(0, 1000);
    window.m_pBar->setMinimumWidth(280);
    window.m_pCancel = new QPushButton(QStringLiteral("取消"), &window);
    window.m_pCancel->setObjectName(QStringLiteral("CancelTransfer"));
    window.m_pCancel->setAutoDefault(false);
    QObject::connect(window.m_pCancel, &QPushButton::clicked, &window, [&window] {
        window.m_bCancelled = true;
        window.m_pCancel->setEnabled(false);
        window.m_pText->setText(window.m_pText->text() + QStringLiteral("\n正在停止……"));
    });
    layout->addWidget(window.m_pText);
    layout->addWidget(window.m_pBar);
    layout->addWidget(window.m_pCancel, 0, Qt::AlignHCenter);
    ExchangeScope::AllowInput(window.m_pCancel);
    // Sized once for the longest text it will show, so it stays where it
    // was put.
    window.m_pText->setText(QString::fromStdString(caption) +
                            QStringLiteral("\n4294967295 / 4294967295 字节\n正在停止……"));
    window.adjustSize();
    window.setFixedSize(window.size());
    window.m_pText->setText(QString::fromStdString(caption));
    if (parent != nullptr) {
        // Centred on the dialog, whatever the window manager would choose.
        const QRect owned = parent->frameGeometry();
        window.move(owned.center() - QPoint(window.width() / 2, window.height() / 2));
    }
    window.show();
    window.m_pCancel->setFocus();
}

CProgressWindow::~CProgressWindow() = default;

void CProgressWindow::SetProgress(const std::string& text, int permille) {
    if (m_pNative->m_bCancelled) return;
    m_pNative->Show(QString::fromStdString(text), permille);
}

bool CProgressWindow::CancelPressed() const { return m_pNative->m_bCancelled; }
