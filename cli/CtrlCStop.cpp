#include "CtrlCStop.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Set by the signal handler, or on Windows by the console's handler thread.
std::atomic<bool> g_ctrlC{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    g_ctrlC.store(true);
    return TRUE;
}
#else
void OnSigint(int) { g_ctrlC.store(true); }
#endif

}  // namespace

void RequestTransferStop() { g_ctrlC.store(true); }

CtrlCStop::CtrlCStop() {
    g_ctrlC.store(false);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    if (sigaction(SIGINT, nullptr, &m_previousAction) == 0 && m_previousAction.sa_handler != SIG_IGN) {
        struct sigaction action {};
        action.sa_handler = OnSigint;
        sigemptyset(&action.sa_mask);
        // The serial waits restart by themselves; this is for everything else.
        action.sa_flags = SA_RESTART;
        m_catching = sigaction(SIGINT, &action, nullptr) == 0;
    }
#endif
    m_previous = SetTransferProgressHook(OnChunk, this);
}

CtrlCStop::~CtrlCStop() {
    RestoreTransferProgressHook(m_previous);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
    if (m_catching) sigaction(SIGINT, &m_previousAction, nullptr);
#endif
}

bool CtrlCStop::OnChunk(uint32_t done, uint32_t total, void* context) {
    auto* self = static_cast<CtrlCStop*>(context);
    const TransferProgressSlot& outer = self->m_previous;
    const bool goOn = outer.hook == nullptr || outer.hook(done, total, outer.context);
    if (g_ctrlC.load() && done < total) {
        self->m_stopped = true;
        return false;
    }
    return goOn;
}
