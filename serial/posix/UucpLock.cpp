#include "UucpLock.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// The PID a lock file names, 0 when it names none (empty, garbage) and -1
// when it cannot be read at all. Besides the ASCII form, the binary one of
// old programs (four bytes, native order) is understood.
pid_t LockHolder(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n < 0) return -1;
    if (n == static_cast<ssize_t>(sizeof(int32_t)) && (text[0] < ' ' || text[3] < ' ')) {
        int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 && pid <= INT32_MAX ? static_cast<pid_t>(pid) : 0;
}

// The lock files this process holds, where a signal handler can reach them
// without allocating. One port is open at a time; a few more are covered.
constexpr int kHeldSlots = 4;
char g_held[kHeldSlots][PATH_MAX];
volatile sig_atomic_t g_heldInUse[kHeldSlots];

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

bool Running(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

std::string Because(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes this process's lock text to a new file in the lock directory and
// returns its path; empty with errno when the directory takes no file.
std::string WriteTemporaryLock(const std::string& directory) {
    std::string path = directory + "/.tovrel-lock-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return {};
    char text[16];
    const int length = LockText(text);
    // Other programs read it without being root.
    const bool written = fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<size_t>(length)) == length;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        errno = savedErrno;
        return {};
    }
    return path;
}

}  // namespace

std::string UucpLockPath(const std::string& resolvedDevice) {
    std::string name = resolvedDevice.compare(0, 5, "/dev/") == 0 ? resolvedDevice.substr(5)
                                                                   : resolvedDevice.substr(resolvedDevice[0] == '/' ? 1 : 0);
    for (char& c : name)
        if (c == '/') c = '_';
    return LockDirectory() + "/LCK.." + name;
}

UucpLockAttempt TakeUucpLock(const std::string& resolvedDevice) {
    UucpLockAttempt attempt;
    const std::string lockPath = UucpLockPath(resolvedDevice);
    const std::string directory = LockDirectory();
    const std::string temporary = WriteTemporaryLock(directory);
    if (temporary.empty()) attempt.why = Because(directory + " is not writable");

    // A stale lock is removed and the link tried again; a few rounds allow
    // for another program doing the same at the same moment.
    for (int round = 0; round < 3; ++round) {
        if (!temporary.empty() && ::link(temporary.c_str(), lockPath.c_str()) == 0) {
            attempt.outcome = UucpLockAttempt::kTaken;
            attempt.lockPath = lockPath;
            RememberHeld(lockPath);
            break;
        }
        if (!temporary.empty() && errno != EEXIST) {
            attempt.why = Because("cannot create " + lockPath);
            break;
        }
        const pid_t holder = LockHolder(lockPath);
        if (Running(holder)) {
            attempt.outcome = UucpLockAttempt::kHeld;
            attempt.holder = holder;
            break;
        }
        if (holder < 0) {
            attempt.why = Because("cannot read " + lockPath);
            break;
        }
        if (temporary.empty()) break;  // no lock of a running process, and none to take
        if (::unlink(lockPath.c_str()) != 0 && errno != ENOENT) {
            attempt.why = Because("cannot remove the stale " + lockPath);
            break;
        }
    }
    if (!temporary.empty()) ::unlink(temporary.c_str());
    if (attempt.outcome == UucpLockAttempt::kSkipped && attempt.why.empty())
        attempt.why = "another program kept taking " + lockPath;
    return attempt;
}

void ReleaseUucpLock(const std::string& lockPath) {
    if (lockPath.empty()) return;
    ForgetHeld(lockPath);
    if (LockHolder(lockPath) == getpid()) ::unlink(lockPath.c_str());
}

void RemoveHeldPortLocks() {
    // Only what signal handlers may call: open, read, close, getpid, unlink.
    char expected[16];
    const int length = LockText(expected);
    for (int i = 0; i < kHeldSlots; ++i) {
        if (g_heldInUse[i] == 0) continue;
        // A forked child that inherited the table must not remove its parent's.
        const int fd = ::open(g_held[i], O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        char text[16];
        const ssize_t got = ::read(fd, text, sizeof text);
        ::close(fd);
        if (got == length && std::memcmp(text, expected, static_cast<size_t>(length)) == 0) ::unlink(g_held[i]);
        g_heldInUse[i] = 0;
    }
}

void SetUucpLockDirectory(const std::string& directory) { DirectoryOverride() = directory; }
