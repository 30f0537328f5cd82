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
//   the lock directory, which is then linked into place. A lock names its
//   holder only when read whole as one of the forms programs write: ASCII
//   decimal of any width between blanks (spaces, tabs), with at most one
//   newline after it, below the system's PID limit; or the four-byte binary
//   PID of old programs when the file is four bytes and not that. A lock
//   whose holder is not running (no process, or only a zombie) is stale and
//   is taken over. Every other lock refuses: a running holder's (this
//   process's included), and one that names no holder in a form known here
//   (text after the PID, a number past the limit, a sign, a NUL, 64 bytes
//   or more, an empty file), which may be a running program's lock all the
//   same; the refusal names that file, for a user who knows it is stale to
//   remove. One that is empty or blank and was written less than 2 s ago
//   is a lock being made and says so. Two Tovrels taking over one stale lock at once
//   take turns with an flock on it, and each removes only the file it
//   judged stale; after linking, the lock is checked to be this process's
//   file.
//
//   The lock path is in a directory others can write: a link, a FIFO or
//   anything else that is not a regular file there is neither followed nor
//   waited on; no program locks with such a thing, so it holds nothing.
//
//   Where no lock can be created (the directory is missing or not
//   writable, a stale lock cannot be removed, the lock path holds no
//   regular file or one that cannot be opened), the open goes on without
//   one and says why. flock and TIOCEXCL remain the second line in either
//   case.
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
    pid_t holder = 0;      // kHeld: the process whose lock refused; 0 when it names none
    // kSkipped: why the port goes without a lock file. kHeld: why the port is
    // refused, for "cannot open X: ..." ("held by process 123", or naming
    // the lock file that cannot be read).
    std::string why;
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
