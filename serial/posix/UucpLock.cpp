#include "UucpLock.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/PortLock.h"

namespace {

// Never destroyed: the serial channel's teardown at process exit removes
// its lock after ordinary statics may have gone.
std::string& DirectoryOverride() {
    static auto* directory = new std::string;
    return *directory;
}

std::string LockDirectory() {
    if (!DirectoryOverride().empty()) return DirectoryOverride();
    if (const char* dir = std::getenv("TOVREL_LOCK_DIR"); dir != nullptr && dir[0] != '\0') return dir;
    return "/run/lock";
}

// Opens an existing lock file for reading. Anyone may put a link, a FIFO or
// a device at the lock path: none is followed, none can block the open, and
// anything but a regular file is refused (-1, errno ENOTSUP). Signal-safe.
int OpenLockFile(const char* path, struct stat* st) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        errno = ENOTSUP;
        return -1;
    }
    return fd;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Processes are numbered below this (the kernel's own bound when /proc
// cannot tell).
long PidLimit() {
    long limit = 4194304;
    if (std::FILE* file = std::fopen("/proc/sys/kernel/pid_max", "re")) {
        long read = 0;
        if (std::fscanf(file, "%ld", &read) == 1 && read > 1) limit = read;
        std::fclose(file);
    }
    return limit;
}

// The PID a lock file's bytes name, 0 when they are not wholly one of the
// forms lock files are written in: ASCII decimal of any width between
// blanks, with at most one newline after it, or the four-byte binary PID of
// old programs (native order) when the four are not that. Anything else,
// text after the number included, may be some running program's lock this
// code does not understand, so it names nobody.
pid_t ParseHolder(const char* text, size_t n, long limit) {
    size_t at = 0;
    while (at < n && IsBlank(text[at])) ++at;
    long pid = 0;
    size_t digits = 0;
    for (; at < n && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
        if (pid < limit) pid = pid * 10 + (text[at] - '0');  // past the limit already: no overflow
    while (at < n && IsBlank(text[at])) ++at;
    if (at < n && text[at] == '\n') ++at;
    if (digits > 0 && at == n) return pid > 0 && pid < limit ? static_cast<pid_t>(pid) : 0;
    if (n != sizeof(int32_t)) return 0;
    int32_t binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    return binary > 0 && binary < limit ? static_cast<pid_t>(binary) : 0;
}

// Whether a lock file's text is empty or blanks only: what a program that
// creates its lock in place leaves until it has written its PID.
bool OnlyBlanks(const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!IsBlank(text[i]) && text[i] != '\n') return false;
    return true;
}

// A lock file naming no PID yet is some program's lock in the making for
// this long after it was last written.
constexpr time_t kUnwrittenGraceSeconds = 2;

// A process that has ended but not been reaped (state Z in /proc) still
// answers kill(pid, 0); it holds nothing. Where /proc cannot tell, the
// process counts as running.
bool Zombie(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    // "pid (name) S ...": the name may hold ')' itself, the state follows the last.
    const void* nameEnd = n > 0 ? memrchr(text, ')', static_cast<size_t>(n)) : nullptr;
    if (nameEnd == nullptr) return false;
    const size_t state = static_cast<size_t>(static_cast<const char*>(nameEnd) - text) + 2;
    return state < static_cast<size_t>(n) && (text[state] == 'Z' || text[state] == 'X');
}

bool Running(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM) && !Zombie(pid); }

// An existing lock file as read through one open descriptor, so that what
// is judged is the file that may then be removed.
struct Reading {
    enum Kind { kGone, kUnreadable, kRunning, kUnwritten, kIllegible, kStale } kind = kGone;
    pid_t holder = 0;  // kRunning
    int fd = -1;       // kStale: open, for the takeover
    struct stat st {};
    int error = 0;  // kUnreadable: errno, ENOTSUP for no regular file
};

// Lock texts are a dozen bytes; a file this long is no lock this code knows.
constexpr size_t kLongestLockText = 63;

Reading ReadLock(const std::string& lockPath) {
    Reading reading;
    reading.fd = OpenLockFile(lockPath.c_str(), &reading.st);
    if (reading.fd < 0) {
        reading.kind = errno == ENOENT ? Reading::kGone : Reading::kUnreadable;
        reading.error = errno;
        return reading;
    }
    char text[kLongestLockText + 1];
    const ssize_t n = ::pread(reading.fd, text, sizeof text, 0);
    const bool fits = n >= 0 && static_cast<size_t>(n) <= kLongestLockText;
    const pid_t holder = fits && n > 0 ? ParseHolder(text, static_cast<size_t>(n), PidLimit()) : 0;
    if (n < 0) {
        reading.kind = Reading::kUnreadable;
        reading.error = errno;
    } else if (holder == 0) {
        // Only a number read whole lets a lock go: anything else may be a
        // running program's lock written in a way not known here.
        const time_t age = time(nullptr) - reading.st.st_mtime;
        const bool recent = age > -kUnwrittenGraceSeconds && age < kUnwrittenGraceSeconds;
        const bool blank = fits && OnlyBlanks(text, static_cast<size_t>(n));
        reading.kind = recent && blank ? Reading::kUnwritten : Reading::kIllegible;
    } else if (Running(holder)) {
        reading.kind = Reading::kRunning;
        reading.holder = holder;
    } else {
        reading.kind = Reading::kStale;
    }
    if (reading.kind != Reading::kStale) {
        ::close(reading.fd);
        reading.fd = -1;
    }
    return reading;
}

// The lock files this process holds, and the temporary one it may be
// writing, where a signal handler can reach them without allocating. One
// port is open at a time; a few more are covered.
constexpr int kHeldSlots = 4;
char g_held[kHeldSlots][PATH_MAX];
volatile sig_atomic_t g_heldInUse[kHeldSlots];
char g_temporary[PATH_MAX];
volatile sig_atomic_t g_temporaryInUse;

void RememberHeld(const std::string& lockPath) {
    if (lockPath.size() >= PATH_MAX) return;
    for (int i = 0; i < kHeldSlots; ++i) {
        if (g_heldInUse[i] != 0) continue;
        std::memcpy(g_held[i], lockPath.c_str(), lockPath.size() + 1);
        g_heldInUse[i] = 1;
        return;
    }
}

void ForgetHeld(const std::string& lockPath) {
    for (int i = 0; i < kHeldSlots; ++i)
        if (g_heldInUse[i] != 0 && lockPath == g_held[i]) g_heldInUse[i] = 0;
}

// Holds back every signal while a lock is being made or removed, so that a
// handler ending the process finds the files and the table agreeing; the
// signals come once it is done (within some milliseconds: nothing in here
// waits for long).
class SignalsHeldBack {
public:
    SignalsHeldBack() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &m_previous);
    }
    ~SignalsHeldBack() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeldBack(const SignalsHeldBack&) = delete;
    SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;

private:
    sigset_t m_previous;
};

// This process's lock text, "%10d\n", into text; its length. Signal-safe.
int LockText(char (&text)[16]) {
    char digits[12];
    int n = 0;
    for (long pid = getpid(); pid > 0 && n < 12; pid /= 10) digits[n++] = static_cast<char>('0' + pid % 10);
    int length = 0;
    for (int pad = 10 - n; pad > 0; --pad) text[length++] = ' ';
    while (n > 0) text[length++] = digits[--n];
    text[length++] = '\n';
    return length;
}

std::string Because(const std::string& what, int error) {
    return what + ": " + (error == ENOTSUP ? "not a regular file" : std::strerror(error));
}

// Writes this process's lock text to a new file in the lock directory (its
// inode into *made) and returns its path; empty with errno when the
// directory takes no file. The file is in the signal handler's table
// until DropTemporaryLock.
std::string WriteTemporaryLock(const std::string& directory, struct stat* made) {
    const std::string pattern = directory + "/.tovrel-lock-XXXXXX";
    if (pattern.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return {};
    }
    std::memcpy(g_temporary, pattern.c_str(), pattern.size() + 1);
    const int fd = mkstemp(g_temporary);  // O_EXCL: never a file or link someone put there
    if (fd < 0) return {};
    g_temporaryInUse = 1;
    char text[16];
    const int length = LockText(text);
    // Other programs read it without being root.
    const bool written = fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<size_t>(length)) == length &&
                         fstat(fd, made) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(g_temporary);
        g_temporaryInUse = 0;
        errno = savedErrno;
        return {};
    }
    return g_temporary;
}

void DropTemporaryLock(const std::string& path) {
    ::unlink(path.c_str());
    g_temporaryInUse = 0;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the file at the lock path is the one made as ours.
bool Holds(const std::string& lockPath, const struct stat& ours) {
    struct stat st {};
    return lstat(lockPath.c_str(), &st) == 0 && SameFile(st, ours);
}

// Why a lock refuses, in words a user can act on; a lock that cannot be
// read is named, so that one who knows it is stale can remove it.
std::string HeldBecause(const Reading& reading, const std::string& lockPath) {
    switch (reading.kind) {
        case Reading::kRunning: return "held by process " + std::to_string(reading.holder);
        case Reading::kUnwritten: return "another program is taking it (its lock file " + lockPath + " is being written)";
        default:
            return "held: its lock file " + lockPath +
                   " names no process in a form Tovrel reads (remove it if you know it is stale)";
    }
}

enum class Takeover { kLinked, kBusy, kChanged, kFailed };

// Replaces the stale lock read through stale.fd by ours. Another Tovrel
// may be taking over the same one at this moment: an flock on the stale
// file lets one do it at a time, and whoever comes second finds another
// file at the path and removes nothing. kFailed leaves errno.
Takeover TakeOver(const Reading& stale, const std::string& lockPath, const std::string& temporary) {
    if (flock(stale.fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? Takeover::kBusy : Takeover::kFailed;
    struct stat now {};
    if (lstat(lockPath.c_str(), &now) != 0 || !SameFile(now, stale.st)) return Takeover::kChanged;
    if (::unlink(lockPath.c_str()) != 0) return errno == ENOENT ? Takeover::kChanged : Takeover::kFailed;
    // Linked while the flock is held, so no one in its queue sees the path empty.
    if (::link(temporary.c_str(), lockPath.c_str()) != 0) return errno == EEXIST ? Takeover::kChanged : Takeover::kFailed;
    return Takeover::kLinked;
}

// Rounds of linking, reading and taking over: a few for programs doing the
// same at the same moment, and while another Tovrel holds a stale lock's
// flock, a millisecond's pause each, some 0.2 s in all.
constexpr int kRounds = 200;

}  // namespace

std::string UucpLockPath(const std::string& resolvedDevice) {
    std::string name = resolvedDevice.compare(0, 5, "/dev/") == 0 ? resolvedDevice.substr(5)
                                                                   : resolvedDevice.substr(resolvedDevice[0] == '/' ? 1 : 0);
    for (char& c : name)
        if (c == '/') c = '_';
    return LockDirectory() + "/LCK.." + name;
}

UucpLockAttempt TakeUucpLock(const std::string& resolvedDevice) {
    const SignalsHeldBack heldBack;
    UucpLockAttempt attempt;
    const std::string lockPath = UucpLockPath(resolvedDevice);
    const std::string directory = LockDirectory();
    struct stat ours {};
    const std::string temporary = WriteTemporaryLock(directory, &ours);
    if (temporary.empty()) attempt.why = Because(directory + " is not writable", errno);

    for (int round = 0; round < kRounds && attempt.outcome == UucpLockAttempt::kSkipped; ++round) {
        if (!temporary.empty()) {
            if (::link(temporary.c_str(), lockPath.c_str()) == 0) {
                if (Holds(lockPath, ours)) attempt.outcome = UucpLockAttempt::kTaken;
                continue;  // else removed at once by a program that takes no flock: not ours
            }
            if (errno != EEXIST) {
                attempt.why = Because("cannot create " + lockPath, errno);
                break;
            }
        }
        Reading reading = ReadLock(lockPath);
        if (reading.kind == Reading::kGone) {
            if (temporary.empty()) break;  // no lock of a running process, and none to take
            continue;
        }
        if (reading.kind == Reading::kUnreadable) {
            attempt.why = Because("cannot read " + lockPath, reading.error);
            break;
        }
        if (reading.kind == Reading::kRunning || reading.kind == Reading::kUnwritten ||
            reading.kind == Reading::kIllegible) {
            attempt.outcome = UucpLockAttempt::kHeld;
            attempt.holder = reading.holder;
            attempt.why = HeldBecause(reading, lockPath);
            break;
        }
        if (temporary.empty()) {
            ::close(reading.fd);
            break;
        }
        const Takeover takeover = TakeOver(reading, lockPath, temporary);
        const int savedErrno = errno;
        ::close(reading.fd);
        if (takeover == Takeover::kLinked && Holds(lockPath, ours)) {
            attempt.outcome = UucpLockAttempt::kTaken;
        } else if (takeover == Takeover::kFailed) {
            attempt.why = Because("cannot replace the stale " + lockPath, savedErrno);
            break;
        } else if (takeover == Takeover::kBusy) {
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    if (attempt.outcome == UucpLockAttempt::kTaken) {
        attempt.lockPath = lockPath;
        RememberHeld(lockPath);
    }
    if (!temporary.empty()) DropTemporaryLock(temporary);
    if (attempt.outcome == UucpLockAttempt::kSkipped && attempt.why.empty())
        attempt.why = "another program kept taking " + lockPath;
    return attempt;
}

void ReleaseUucpLock(const std::string& lockPath) {
    if (lockPath.empty()) return;
    const SignalsHeldBack heldBack;
    struct stat st {};
    const int fd = OpenLockFile(lockPath.c_str(), &st);
    if (fd >= 0) {
        char text[kLongestLockText + 1];
        const ssize_t n = ::pread(fd, text, sizeof text, 0);
        ::close(fd);
        // A lock someone has taken over since stays.
        if (n > 0 && static_cast<size_t>(n) <= kLongestLockText &&
            ParseHolder(text, static_cast<size_t>(n), PidLimit()) == getpid())
            ::unlink(lockPath.c_str());
    }
    ForgetHeld(lockPath);
}

void RemoveHeldPortLocks() {
    // Only what signal handlers may call: open, fstat, read, close, getpid, unlink.
    const int savedErrno = errno;
    if (g_temporaryInUse != 0) {
        ::unlink(g_temporary);
        g_temporaryInUse = 0;
    }
    char expected[16];
    const int length = LockText(expected);
    for (int i = 0; i < kHeldSlots; ++i) {
        if (g_heldInUse[i] == 0) continue;
        // A forked child that inherited the table must not remove its parent's.
        struct stat st {};
        const int fd = OpenLockFile(g_held[i], &st);
        if (fd < 0) continue;
        char text[16];
        const ssize_t got = ::read(fd, text, sizeof text);
        ::close(fd);
        if (got == length && std::memcmp(text, expected, static_cast<size_t>(length)) == 0) ::unlink(g_held[i]);
        g_heldInUse[i] = 0;
    }
    errno = savedErrno;
}

void SetUucpLockDirectory(const std::string& directory) { DirectoryOverride() = directory; }
