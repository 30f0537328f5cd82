#include "TermiosLine.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace {

tcflag_t SizeFlag(int byteSize) {
    switch (byteSize) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

int SizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

}  // namespace

int ApplyTermiosLine(int fd, const TermiosLine& line) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;

    t.c_iflag = line.parityCheck ? INPCK : IGNPAR;
    if (line.xonXoffOut) t.c_iflag |= IXON;
    if (line.xonXoffIn) t.c_iflag |= IXOFF;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | BOTHER | SizeFlag(line.byteSize);
    if (line.parity != 0) {
        t.c_cflag |= PARENB;
        if (line.parity == 1 || line.parity == 3) t.c_cflag |= PARODD;
        if (line.parity >= 3) t.c_cflag |= CMSPAR;
    }
    if (line.stopBits != 0) t.c_cflag |= CSTOPB;
    if (line.rtsCts) t.c_cflag |= CRTSCTS;
    t.c_ispeed = line.rate;
    t.c_ospeed = line.rate;
    for (cc_t& c : t.c_cc) c = 0;
    t.c_cc[VSTART] = line.xonChar;
    t.c_cc[VSTOP] = line.xoffChar;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    if (ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}

int ReadTermiosLine(int fd, TermiosLine* line) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    line->rate = t.c_ospeed;
    line->byteSize = SizeOf(t.c_cflag);
    if ((t.c_cflag & PARENB) == 0) {
        line->parity = 0;
    } else {
        const bool odd = (t.c_cflag & PARODD) != 0;
        const bool stick = (t.c_cflag & CMSPAR) != 0;
        line->parity = stick ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    line->stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
    line->parityCheck = (t.c_iflag & INPCK) != 0;
    line->xonXoffOut = (t.c_iflag & IXON) != 0;
    line->xonXoffIn = (t.c_iflag & IXOFF) != 0;
    line->rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line->xonChar = t.c_cc[VSTART];
    line->xoffChar = t.c_cc[VSTOP];
    return 0;
}

static_assert(sizeof(termios2) <= sizeof(TermiosSnapshot::bytes), "a snapshot holds a termios2");

int TakeTermiosSnapshot(int fd, TermiosSnapshot* snapshot) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    std::memcpy(snapshot->bytes, &t, sizeof t);
    return 0;
}

int RestoreTermiosSnapshot(int fd, const TermiosSnapshot& snapshot) {
    struct termios2 t {};
    std::memcpy(&t, snapshot.bytes, sizeof t);
    if (ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}
