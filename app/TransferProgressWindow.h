// Keeps the window alive during a long transfer. While one is installed,
// every chunk of DiskWrite/DiskRead lets Qt repaint (user input stays
// queued, so no second handler can start); after about a second a modal
// progress dialog shows how far the transfer has come. It only watches:
// the exchanges, their order and their results are as without it.
#ifndef TOVREL_APP_TRANSFERPROGRESSWINDOW_H
#define TOVREL_APP_TRANSFERPROGRESSWINDOW_H

#include <QElapsedTimer>
#include <QString>

#include <cstdint>

#include "protocol/TransferProgress.h"

class QProgressDialog;
class QWidget;

class TransferProgressWindow {
public:
    // Installs itself as the transfer hook until destroyed.
    TransferProgressWindow(QWidget* owner, const QString& label);
    ~TransferProgressWindow();
    TransferProgressWindow(const TransferProgressWindow&) = delete;
    TransferProgressWindow& operator=(const TransferProgressWindow&) = delete;

    static constexpr int kShowAfterMs = 1000;  // shorter transfers show nothing
    static constexpr int kRepaintEveryMs = 40;

private:
    static bool OnProgress(uint32_t done, uint32_t total, void* context);
    void Update(uint32_t done, uint32_t total);

    QWidget* m_pOwner;
    QString m_label;
    QElapsedTimer m_sinceStart;
    qint64 m_lastRepaintMs = -kRepaintEveryMs;
    QProgressDialog* m_pDialog = nullptr;  // created once the transfer is long
    TransferProgressSlot m_previousHook;
};

#endif
