// The progress of a long transfer, with a way to stop it.
//
// While one is installed, every chunk of DiskWrite/DiskRead lets the window
// repaint (user input meant for the dialog is dropped meanwhile; see
// DialogFramework.h). After about a second a progress window opens,
// centred on the dialog, with the bytes moved and a 取消 button.
// Cancelling stops the transfer after the chunk under way: never inside an
// exchange, so the module's file keeps what was written and the caller
// sees a short total.
#ifndef TOVREL_APP_TRANSFERPROGRESS_H
#define TOVREL_APP_TRANSFERPROGRESS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DialogFramework.h"
#include "protocol/TransferProgress.h"

class CTransferProgress {
public:
    // Installs itself as the transfer hook until destroyed.
    CTransferProgress(CDialog* owner, std::string label);
    ~CTransferProgress();
    CTransferProgress(const CTransferProgress&) = delete;
    CTransferProgress& operator=(const CTransferProgress&) = delete;

    // True once the transfer is to stop: 取消 pressed, or the program asked
    // to end (EndRequested).
    bool Cancelled() const { return (m_pWindow != nullptr && m_pWindow->CancelPressed()) || EndRequested(); }

    static constexpr int kShowAfterMs = 1000;  // shorter transfers show nothing
    static constexpr int kRepaintEveryMs = 40;

private:
    using Clock = std::chrono::steady_clock;
    static bool OnProgress(uint32_t done, uint32_t total, void* context);
    bool Update(uint32_t done, uint32_t total);

    CDialog* m_pOwner;
    std::string m_label;
    Clock::time_point m_start;
    Clock::time_point m_lastRepaint;
    std::unique_ptr<CProgressWindow> m_pWindow;  // once the transfer is long
    TransferProgressSlot m_previousHook;
};

#endif
