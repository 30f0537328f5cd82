#include "TransferProgressWindow.h"

#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ExchangeScope.h"

namespace {

// Ended only by the transfer: Esc and the close box do nothing.
class ProgressDialog : public QDialog {
public:
    using QDialog::QDialog;
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

}  // namespace

TransferProgressWindow::TransferProgressWindow(QWidget* owner, const QString& label)
    : m_pOwner(owner), m_label(label), m_previousHook(SetTransferProgressHook(&OnProgress, this)) {
    m_sinceStart.start();
}

TransferProgressWindow::~TransferProgressWindow() {
    RestoreTransferProgressHook(m_previousHook);
    delete m_pWindow;
}

bool TransferProgressWindow::OnProgress(uint32_t done, uint32_t total, void* context) {
    return static_cast<TransferProgressWindow*>(context)->Update(done, total);
}

void TransferProgressWindow::Open() {
    m_pWindow = new ProgressDialog(m_pOwner);
    m_pWindow->setObjectName(QStringLiteral("TransferProgress"));
    m_pWindow->setWindowTitle(m_pOwner != nullptr ? m_pOwner->windowTitle() : QString());
    m_pWindow->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(m_pWindow);
    m_pText = new QLabel(m_pWindow);
    m_pText->setTextFormat(Qt::PlainText);
    m_pBar = new QProgressBar(m_pWindow);
    m_pBar->setRange(0, 1000);
    m_pBar->setMinimumWidth(280);
    m_pCancel = new QPushButton(QStringLiteral("取消"), m_pWindow);
    m_pCancel->setObjectName(QStringLiteral("CancelTransfer"));
    m_pCancel->setAutoDefault(false);
    QObject::connect(m_pCancel, &QPushButton::clicked, m_pWindow, [this] {
        m_bCancelled = true;
        m_pCancel->setEnabled(false);
        m_pText->setText(m_label + QStringLiteral("\n正在停止……"));
    });
    layout->addWidget(m_pText);
    layout->addWidget(m_pBar);
    layout->addWidget(m_pCancel, 0, Qt::AlignHCenter);
    ExchangeScope::AllowInput(m_pCancel);
    m_pText->setText(m_label + QStringLiteral("\n0 / 0 字节"));
    m_pWindow->adjustSize();
    if (m_pOwner != nullptr) {
        // Centred on the dialog, whatever the window manager would choose.
        const QRect owner = m_pOwner->frameGeometry();
        m_pWindow->move(owner.center() - QPoint(m_pWindow->width() / 2, m_pWindow->height() / 2));
    }
    m_pWindow->show();
    m_pCancel->setFocus();
}

bool TransferProgressWindow::Update(uint32_t done, uint32_t total) {
    const qint64 now = m_sinceStart.elapsed();
    if (now - m_lastRepaintMs < kRepaintEveryMs && done != total) return !m_bCancelled;
    m_lastRepaintMs = now;
    if (m_pWindow == nullptr && now >= kShowAfterMs && done < total) Open();
    if (m_pWindow != nullptr && !m_bCancelled) {
        m_pText->setText(QStringLiteral("%1\n%2 / %3 字节").arg(m_label).arg(done).arg(total));
        m_pBar->setValue(total == 0 ? 1000 : static_cast<int>(static_cast<uint64_t>(done) * 1000 / total));
    }
    ExchangeScope::KeepPainted();
    return !m_bCancelled;
}
