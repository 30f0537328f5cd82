// Ctrl+C during a transfer: while a CtrlCStop lives, SIGINT (on Windows the
// console's Ctrl+C) no longer ends the program but asks the transfer to stop
// once the chunk in hand has been answered, so the disk file can be closed
// and nothing half-made is left on the PC. Outside one, Ctrl+C does what it
// always does; a program started with it ignored keeps ignoring it.
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

    // True once Ctrl+C has stopped a transfer short of its count.
    bool Stopped() const { return m_stopped; }

private:
    static bool OnChunk(uint32_t done, uint32_t total, void* context);

    TransferProgressSlot m_previous;
    bool m_stopped = false;
#ifndef _WIN32
    bool m_catching = false;
    struct sigaction m_previousAction {};
#endif
};

// Asks the running transfer, if any, to stop as Ctrl+C does, for a handler
// of another signal that ends the program once the chunk on the line is
// answered. Async-signal-safe.
void RequestTransferStop();

#endif
