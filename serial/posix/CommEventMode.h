// How the Linux layer's WaitCommEvent reports received bytes.
//
// By default it is level-triggered: EV_RXCHAR while bytes are queued, so a
// wait started with bytes in the queue finishes at once. Windows' is
// edge-triggered: SetCommMask clears the port's event history, and a wait
// completes only for bytes that arrive after that (or that arrived since the
// mask was set and no wait has reported yet). Tests switch that mode on to
// show what the channel does on Windows when bytes land just before the mask
// is set; the program never does. Off by default.
#ifndef TOVREL_SERIAL_POSIX_COMMEVENTMODE_H
#define TOVREL_SERIAL_POSIX_COMMEVENTMODE_H

void SetEdgeTriggeredCommEvents(bool on);

#endif
