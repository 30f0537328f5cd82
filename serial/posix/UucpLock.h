// The UUCP lock file that Linux serial programs agree on, taken before a
// port is opened so that a refused program never opens the device (on a
// real UART or USB adapter the kernel's open raises DTR and RTS, also on a
// port another program holds, and they would stay up until it closes).
//
// Convention
//   The lock file is <lock directory>/LCK..<device name>, holding the
//   holder's PID as ten ASCII characters, right-aligned, and a newline. The
//   device name is the device's path after every symbolic link is resolved
//   (so two names of one device share one lock), below /dev, with each '/'
//   written as '_': /dev/ttyUSB0 -> LCK..ttyUSB0, /dev/pts/3 -> LCK..pts_3.
//   A device outside /dev takes its whole path, '/'s as '_', without the
//   leading one. The lock directory is /run/lock, or $TOVREL_LOCK_DIR when
//   set and not empty.
//
//   A lock is created atomically: the PID is written to a temporary file in
//   the lock directory, which is then linked into place. A lock is read as
//   ASCII decimal of any width between blanks, or as the four-byte binary
//   PID of old programs when its four bytes are not all digits and blanks.
//   A lock whose PID names no running process (none, or only a zombie), or
//   that holds no PID, is stale and is taken over; one that is still empty
//   or blank and was written less than 2 s ago is a lock being made and
//   refuses (holder unknown). A lock of a running process, this one's
//   included, refuses. Two Tovrels taking over one stale lock at once take
//   turns with an flock on it, and each removes only the file it judged
//   stale; after linking, the lock is checked to be this process's file.
//
//   The lock path is in a directory others can write: a link, a FIFO or
//   anything else that is not a regular file there is neither followed nor
//   waited on, and counts as a lock that cannot be read.
//
//   Where no lock can be created (the directory is missing or not
//   writable, a stale lock cannot be removed, the lock cannot be read), the
//   open goes on without one and says why; a running holder's lock refuses
//   all the same, as far as it can be read. flock and TIOCEXCL remain the
//   second line in either case.
//
//   Signals are held back while a lock is made or removed (at most some
//   0.2 s, while another Tovrel takes over a stale lock), so that a handler
//   calling RemoveHeldPortLocks (serial/PortLock.h) never finds a lock or a
//   temporary file it does not know of.
//
// Single-threaded, like the rest of the layer.
#ifndef TOVREL_SERIAL_POSIX_UUCPLOCK_H
#define TOVREL_SERIAL_POSIX_UUCPLOCK_H

#include <sys/types.h>

#include <string>

struct UucpLockAttempt {
    enum Outcome { kTaken, kHeld, kSkipped } outcome = kSkipped;
    std::string lockPath;  // kTaken: the file that Release removes
    pid_t holder = 0;      // kHeld: the process whose lock refused; 0 for a lock being made
    std::string why;       // kSkipped: why the port goes without a lock file
};

// Takes the lock of a device given by its resolved path (ResolvedPath).
UucpLockAttempt TakeUucpLock(const std::string& resolvedDevice);

// Removes a lock file taken by TakeUucpLock, if it still holds this
// process's PID; a lock someone has taken over since stays.
void ReleaseUucpLock(const std::string& lockPath);

// The lock file's path for a resolved device path.
std::string UucpLockPath(const std::string& resolvedDevice);

// For tests in this process: the lock directory to use from now on instead
// of $TOVREL_LOCK_DIR or /run/lock; empty restores those.
void SetUucpLockDirectory(const std::string& directory);

#endif
