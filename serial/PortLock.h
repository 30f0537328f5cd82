// What the last port open learnt about the port's lock, for a caller's
// messages. On Linux a port is locked with a UUCP lock file before it is
// opened (posix/UucpLock.h), then with flock and TIOCEXCL; on Windows the
// system's exclusive open is the lock and there is nothing more to say.
#ifndef TOVREL_SERIAL_PORTLOCK_H
#define TOVREL_SERIAL_PORTLOCK_H

#include <string>

struct PortLockNotes {
    // The last open was refused by this process's lock on the port; 0 when
    // it was not, or when the holder is unknown (a program without a lock
    // file holds the port, one is writing its lock file right now, or the
    // lock file names no process in a form known here).
    long holderPid = 0;
    // The last open was refused by a lock file: why, naming the holder or
    // the lock file that cannot be read ("held by process 123"). Empty
    // otherwise.
    std::string heldBecause;
    // The last open succeeded without a lock file, held by flock alone:
    // why ("/run/lock is not writable: Permission denied"). Empty otherwise.
    std::string unlockedBecause;
};

#ifdef _WIN32
inline PortLockNotes LastPortLockNotes() { return {}; }
inline void RemoveHeldPortLocks() {}
#else
PortLockNotes LastPortLockNotes();
// Removes the lock files of the ports this process holds open, and a
// temporary lock file it is writing, for a handler of a signal that ends
// the process, where closing never runs. Async-signal-safe; keeps errno.
void RemoveHeldPortLocks();
#endif

#endif
