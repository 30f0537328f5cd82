// The progress of a long transfer, with a way to stop it.
//
// While one is installed, every chunk of DiskWrite/DiskRead lets the window
// repaint (see ExchangeScope: user input meant for the dialog is dropped).
// After about a second a progress window opens, centred on the dialog, with
// the bytes moved and a 取消 button. Cancelling stops the transfer after
// the chunk under way: never inside an exchange, so the module's file keeps
// what was written and the caller sees a short total. The window cannot be
// dismissed by Esc or its close box; only the transfer's end closes it.
#ifndef TOVREL_APP_TRANSFERPROGRESSWINDOW_H
#define TOVREL_APP_TRANSFERPROGRESSWINDOW_H

#include <QElapsedTimer>
#include <QString>

#include <cstdint>

#include "protocol/TransferProgress.h"

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

class TransferProgressWindow {
public:
    // Installs itself as the transfer hook until destroyed.
    TransferProgressWindow(QWidget* owner, const QString& label);
    ~TransferProgressWindow();
    TransferProgressWindow(const TransferProgressWindow&) = delete;
    TransferProgressWindow& operator=(const TransferProgressWindow&) = delete;

    // True once the user pressed 取消.
    bool Cancelled() const { return m_bCancelled; }

    static constexpr int kShowAfterMs = 1000;  // shorter transfers show nothing
    static constexpr int kRepaintEveryMs = 40;

private:
    static bool OnProgress(uint32_t done, uint32_t total, void* context);
    bool Update(uint32_t done, uint32_t total);
    void Open();

    QWidget* m_pOwner;
    QString m_label;
    QElapsedTimer m_sinceStart;
    qint64 m_lastRepaintMs = -kRepaintEveryMs;
    bool m_bCancelled = false;
    QDialog* m_pWindow = nullptr;  // created once the transfer is long
    QLabel* m_pText = nullptr;
    QProgressBar* m_pBar = nullptr;
    QPushButton* m_pCancel = nullptr;
    TransferProgressSlot m_previousHook;
};

#endif
