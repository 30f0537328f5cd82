// Line settings of a terminal through termios2, so that any rate applies
// (BOTHER), 14400 and 56000 included. Kept apart because <asm/termbits.h>,
// which termios2 needs, clashes with <termios.h>.
//
// On a pseudo-terminal's master these calls act on the slave's settings,
// which lets a peer on the master see what the program applied.
#ifndef TOVREL_SERIAL_POSIX_TERMIOSLINE_H
#define TOVREL_SERIAL_POSIX_TERMIOSLINE_H

#include <cstdint>

struct TermiosLine {
    uint32_t rate = 9600;  // bit/s, same in both directions
    int byteSize = 8;      // 5 to 8
    int parity = 0;        // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;      // 0 one, 1 one and a half (applied as two), 2 two
    bool parityCheck = false;  // check parity of received bytes
    bool xonXoffOut = false;   // honour XON/XOFF from the peer
    bool xonXoffIn = false;    // send XON/XOFF to the peer
    bool rtsCts = false;       // hardware flow control
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
};

// Applies the settings as a raw 8-bit-clean line with the receiver enabled,
// modem-control lines ignored and no hang-up on close. VMIN 1, VTIME 0: on a
// non-blocking descriptor a read then returns what is there or EAGAIN, and
// a read of 0 bytes means hang-up (with VMIN 0 it would also mean "empty").
// Returns 0 or the errno of the failing call.
//
// A pseudo-terminal keeps 8 data bits without parity whatever is asked; the
// other settings (rate, stop bits, parity checking) do apply there.
int ApplyTermiosLine(int fd, const TermiosLine& line);

// Reads the settings in force. Returns 0 or an errno value.
int ReadTermiosLine(int fd, TermiosLine* line);

// All of a terminal's settings as the kernel keeps them (struct termios2:
// modes, control characters, both speeds), held as bytes because that
// struct cannot be declared beside <termios.h>. For putting back what was
// found.
struct TermiosSnapshot {
    alignas(4) unsigned char bytes[64];
};
// Reads them. Returns 0 or an errno value.
int TakeTermiosSnapshot(int fd, TermiosSnapshot* snapshot);
// Sets them at once (no draining of output). Returns 0 or an errno value.
int RestoreTermiosSnapshot(int fd, const TermiosSnapshot& snapshot);

#endif
