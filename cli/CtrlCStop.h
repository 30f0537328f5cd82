// Ctrl+C during a transfer: while a CtrlCStop lives, SIGINT (on Windows the
// console's Ctrl+C) no longer ends the program but asks the transfer to stop
// once the chunk in hand has been answered, so the disk file can be closed
// and nothing half-made is left on the PC. The other signals that end the
// program (TERM, HUP, QUIT, ALRM, USR1, USR2) stop it the same way and are
// kept: once the disk file is closed, the program ends on the first of them
// (PendingEndingSignal). Outside one, each does what it always does; a
// program started with one ignored keeps ignoring it.
//
// It takes the transfer progress hook and passes every chunk on to the hook
// it found (a progress bar's) before deciding. One at a time.
#ifndef TOVREL_CLI_CTRLCSTOP_H
#define TOVREL_CLI_CTRLCSTOP_H

#include <cstdint>

#ifndef _WIN32
#include <signal.h>
#endif

#include "protocol/TransferProgress.h"

class CtrlCStop {
public:
    CtrlCStop();
    ~CtrlCStop();
    CtrlCStop(const CtrlCStop&) = delete;
    CtrlCStop& operator=(const CtrlCStop&) = delete;

    // True once a stop has stopped a transfer short of its count.
    bool Stopped() const { return m_stopped; }
    // True once a stop has been asked for since it began, even before a
    // transfer's first chunk.
    static bool Requested();

private:
    static bool OnChunk(uint32_t done, uint32_t total, void* context);

    TransferProgressSlot m_previous;
    bool m_stopped = false;
#ifndef _WIN32
    static constexpr int kSignals = 7;
    bool m_catching[kSignals] = {};
    struct sigaction m_previousActions[kSignals] {};
#endif
};

// Asks the running transfer, if any, to stop as Ctrl+C does. Async-signal-safe.
void RequestTransferStop();

#ifndef _WIN32
// The signals that end the client, INT first.
extern const int kEndingSignals[7];
#endif

// Keeps `signal` as the one the program is to end on, once what it has open
// is closed (the first kept stays), and stops the running transfer.
// Async-signal-safe.
void NoteEndingSignal(int signal);
// The signal kept so far; 0 if none.
int PendingEndingSignal();

#endif
