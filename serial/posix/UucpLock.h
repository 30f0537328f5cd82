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
//   the lock directory, which is then linked into place. A lock whose PID
//   names no running process (or that holds no PID) is stale and is taken
//   over. A lock of a running process, this one's included, refuses.
//
//   Where no lock can be created (the directory is missing or not
//   writable, or a stale lock cannot be removed), the open goes on without
//   one and says why; a running holder's lock refuses all the same, as far
//   as it can be read. flock and TIOCEXCL remain the second line in either
//   case.
//
// Single-threaded, like the rest of the layer.
#ifndef TOVREL_SERIAL_POSIX_UUCPLOCK_H
#define TOVREL_SERIAL_POSIX_UUCPLOCK_H

#include <sys/types.h>

#include <string>

struct UucpLockAttempt {
    enum Outcome { kTaken, kHeld, kSkipped } outcome = kSkipped;
    std::string lockPath;  // kTaken: the file that Release removes
    pid_t holder = 0;      // kHeld: the process whose lock refused
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
