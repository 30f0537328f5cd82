#include "CtrlCStop.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Set by the signal handlers, or on Windows by the console's handler thread.
std::atomic<bool> g_ctrlC{false};
std::atomic<int> g_ending{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "set from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    g_ctrlC.store(true);
    return TRUE;
}
#else
void OnSignal(int signal) {
    if (signal == SIGINT)
        g_ctrlC.store(true);
    else
        NoteEndingSignal(signal);
}
#endif

}  // namespace

#ifndef _WIN32
const int kEndingSignals[7] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};
static_assert(sizeof kEndingSignals / sizeof kEndingSignals[0] == 7, "one slot a signal in CtrlCStop");
#endif

void RequestTransferStop() { g_ctrlC.store(true); }

void NoteEndingSignal(int signal) {
    int none = 0;
    g_ending.compare_exchange_strong(none, signal);
    RequestTransferStop();
}

int PendingEndingSignal() { return g_ending.load(); }

bool CtrlCStop::Requested() { return g_ctrlC.load() || g_ending.load() != 0; }

CtrlCStop::CtrlCStop() {
    g_ctrlC.store(false);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    for (int i = 0; i < kSignals; ++i) {
        struct sigaction& previous = m_previousActions[i];
        if (sigaction(kEndingSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        // The serial waits restart by themselves; this is for everything else.
        action.sa_flags = SA_RESTART;
        m_catching[i] = sigaction(kEndingSignals[i], &action, nullptr) == 0;
    }
#endif
    m_previous = SetTransferProgressHook(OnChunk, this);
}

CtrlCStop::~CtrlCStop() {
    RestoreTransferProgressHook(m_previous);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
    for (int i = 0; i < kSignals; ++i)
        if (m_catching[i]) sigaction(kEndingSignals[i], &m_previousActions[i], nullptr);
#endif
}

bool CtrlCStop::OnChunk(uint32_t done, uint32_t total, void* context) {
    auto* self = static_cast<CtrlCStop*>(context);
    const TransferProgressSlot& outer = self->m_previous;
    const bool goOn = outer.hook == nullptr || outer.hook(done, total, outer.context);
    if (Requested() && done < total) {
        self->m_stopped = true;
        return false;
    }
    return goOn;
}
