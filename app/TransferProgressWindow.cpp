#include "TransferProgressWindow.h"

#include <QCoreApplication>
#include <QProgressDialog>

TransferProgressWindow::TransferProgressWindow(QWidget* owner, const QString& label)
    : m_pOwner(owner), m_label(label), m_previousHook(SetTransferProgressHook(&OnProgress, this)) {
    m_sinceStart.start();
}

TransferProgressWindow::~TransferProgressWindow() {
    RestoreTransferProgressHook(m_previousHook);
    delete m_pDialog;
}

bool TransferProgressWindow::OnProgress(uint32_t done, uint32_t total, void* context) {
    static_cast<TransferProgressWindow*>(context)->Update(done, total);
    return true;
}

void TransferProgressWindow::Update(uint32_t done, uint32_t total) {
    const qint64 now = m_sinceStart.elapsed();
    if (now - m_lastRepaintMs < kRepaintEveryMs && done != total) return;
    m_lastRepaintMs = now;
    if (m_pDialog == nullptr && now >= kShowAfterMs && done < total) {
        m_pDialog = new QProgressDialog(m_pOwner);
        m_pDialog->setObjectName(QStringLiteral("TransferProgress"));
        m_pDialog->setWindowTitle(m_pOwner != nullptr ? m_pOwner->windowTitle() : QString());
        m_pDialog->setCancelButton(nullptr);  // a transfer runs to its end
        m_pDialog->setWindowModality(Qt::WindowModal);
        m_pDialog->setMinimumDuration(0);
        m_pDialog->setAutoClose(false);
        m_pDialog->setAutoReset(false);
        m_pDialog->setRange(0, 1000);
        m_pDialog->show();
    }
    if (m_pDialog != nullptr) {
        m_pDialog->setLabelText(QStringLiteral("%1\n%2 / %3 字节").arg(m_label).arg(done).arg(total));
        m_pDialog->setValue(total == 0 ? 1000 : static_cast<int>(static_cast<uint64_t>(done) * 1000 / total));
    }
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
