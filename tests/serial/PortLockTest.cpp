// The UUCP lock file taken before a port is opened: its place and content,
// a stale lock taken over (by one of many at once), a running holder or a
// lock that names no PID in a known form refused without the device being
// opened at all, one lock for two names of a
// device, flock alone where the lock directory is not writable or another
// user has put something other than a file at the lock path, and no lock or
// temporary file left by a process killed while locking. Every test of this
// program locks in a directory of its own, which must be empty again when it
// ends.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SerialTestSupport.h"
#include "serial/PortLock.h"
#include "serial/posix/PortNames.h"
#include "serial/posix/UucpLock.h"
#include "serial/posix/Win32Comm.h"

namespace fs = std::filesystem;

namespace {

// Points the layer's lock directory at a fresh folder for the whole test
// program, and finds it empty at the end: no test leaves a lock behind.
class LockDirectoryEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char folder[] = "/tmp/tovrel-locks-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        s_directory = folder;
        SetUucpLockDirectory(s_directory);
    }
    void TearDown() override {
        SetUucpLockDirectory("");
        for (const auto& entry : fs::directory_iterator(s_directory)) ADD_FAILURE() << "left behind: " << entry.path();
        fs::remove_all(s_directory);
    }
    static std::string s_directory;
};
std::string LockDirectoryEnvironment::s_directory;
[[maybe_unused]] auto* const g_lockEnvironment = ::testing::AddGlobalTestEnvironment(new LockDirectoryEnvironment);

std::string LockOf(const PtyPeer& peer) { return UucpLockPath(ResolvedPath(peer.SlavePath())); }

std::string PidText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The file's modification time set this many seconds back.
void Age(const std::string& path, int seconds) {
    const timespec now{time(nullptr) - seconds, 0};
    const timespec times[2] = {now, now};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Gives up root for good: from here on the process is user and group 65534.
bool BecomeNobody() {
    const gid_t nobody = 65534;
    return setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0 && setresuid(nobody, nobody, nobody) == 0;
}

// Runs fn in a child process; its result.
template <typename Fn>
bool InChild(Fn fn) {
    const pid_t child = fork();
    if (child == 0) _exit(fn() ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The lock directory of this test program swapped for a sticky one anyone
// may write, like /run/lock, for one scope.
class SharedLockDirectory {
public:
    SharedLockDirectory() {
        char folder[] = "/tmp/tovrel-sharedlocks-XXXXXX";
        if (mkdtemp(folder) == nullptr || chmod(folder, 01777) != 0) ADD_FAILURE() << "no shared lock directory";
        m_path = folder;
        SetUucpLockDirectory(m_path);
    }
    ~SharedLockDirectory() {
        SetUucpLockDirectory(LockDirectoryEnvironment::s_directory);
        fs::remove_all(m_path);
    }
    SharedLockDirectory(const SharedLockDirectory&) = delete;
    SharedLockDirectory& operator=(const SharedLockDirectory&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The names in a directory, sorted.
std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Kills the whole test program if a scope takes longer than it may: a lock
// that hangs is a failure, not a stuck run.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

HANDLE OpenByName(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Counts the opens of a file from its creation on (inotify), so a test can
// show that a refused open never reached the device.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(m_fd, path.c_str(), IN_OPEN);
    }
    ~OpenWatch() { close(m_fd); }
    int Opens() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_OPEN) != 0) ++m_opens;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return m_opens;
    }

private:
    int m_fd;
    int m_opens = 0;
};

// A process that runs until the test lets it go.
class LiveProcess {
public:
    LiveProcess() {
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[1]);
            char c;
            (void)!read(fds[0], &c, 1);
            _exit(0);
        }
        close(fds[0]);
        m_release = fds[1];
    }
    ~LiveProcess() { End(); }
    pid_t Pid() const { return m_pid; }
    void End() {
        if (m_release < 0) return;
        close(m_release);
        m_release = -1;
        waitpid(m_pid, nullptr, 0);
    }

private:
    pid_t m_pid = -1;
    int m_release = -1;
};

}  // namespace

TEST(UucpLock, LockFileIsNamedAfterTheDeviceBelowDev) {
    const std::string dir = LockDirectoryEnvironment::s_directory;
    EXPECT_EQ(UucpLockPath("/dev/ttyUSB0"), dir + "/LCK..ttyUSB0");
    EXPECT_EQ(UucpLockPath("/dev/pts/3"), dir + "/LCK..pts_3");
    EXPECT_EQ(UucpLockPath("/srv/ports/a"), dir + "/LCK..srv_ports_a");
}

TEST(UucpLock, OpenTakesTheLockWithItsPidAndCloseRemovesIt) {
    PtyPeer peer;
    const std::string lock = LockOf(peer);
    HANDLE port = OpenByName(peer.SlavePath());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Slurp(lock), PidText(getpid()));
    EXPECT_EQ(fs::status(lock).permissions() & fs::perms::others_read, fs::perms::others_read);
    EXPECT_TRUE(LastPortLockNotes().unlockedBecause.empty());
    // Nothing else: the temporary file it was made from is gone.
    EXPECT_EQ(std::distance(fs::directory_iterator(LockDirectoryEnvironment::s_directory), fs::directory_iterator()), 1);
    CloseHandle(port);
    EXPECT_FALSE(fs::exists(lock));
}

TEST(UucpLock, StaleLocksAreTakenOver) {
    PtyPeer peer;
    const std::string lock = LockOf(peer);
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    // Ended and not reaped: kill(pid, 0) still finds it.
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    int32_t binary = dead;
    // Each form a dead holder's PID is written in.
    const std::string kStale[] = {
        PidText(dead),
        std::to_string(dead),  // no padding, no newline
        "\t" + std::to_string(dead) + " \n",
        std::string(reinterpret_cast<char*>(&binary), 4),  // an old program's binary PID
        PidText(zombie),
        std::to_string(zombie),
    };
    for (const std::string& stale : kStale) {
        WriteFile(lock, stale);
        HANDLE port = OpenByName(peer.SlavePath());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << stale;
        EXPECT_EQ(Slurp(lock), PidText(getpid()));
        CloseHandle(port);
        EXPECT_FALSE(fs::exists(lock));
    }
    waitpid(zombie, nullptr, 0);
}

TEST(UucpLock, RunningHolderRefusesBeforeTheDeviceIsOpened) {
    PtyPeer peer;
    const std::string lock = LockOf(peer);
    LiveProcess holder;
    ASSERT_GE(holder.Pid(), 1000);  // so that "PID\0" is no four-byte binary PID
    OpenWatch watch(peer.SlavePath());
    const std::string pid = std::to_string(holder.Pid());
    const std::string unreadable = "held: its lock file " + lock + " names no process in a form Tovrel reads";
    const std::string made = "another program is taking it (its lock file " + lock + " is being written)";
    // A running holder's PID in any width (four ASCII bytes are not the
    // binary form); a lock just created, not yet written (holder unknown);
    // and forms that are no PID read whole, which may be a running
    // program's lock as well as a dead one's (refused, the file named).
    const struct {
        std::string text;
        pid_t holder;
        std::string why;
        int ageSeconds;
    } kHeld[] = {
        {"  1\n", 1, "held by process 1", 0},
        {pid + "\n", holder.Pid(), "held by process " + pid, 0},
        {std::string(20, ' ') + pid, holder.Pid(), "held by process " + pid, 0},
        {std::string(15 - pid.size(), '0') + pid + "\n", holder.Pid(), "held by process " + pid, 0},
        {PidText(holder.Pid()), holder.Pid(), "held by process " + pid, 0},
        {"", 0, made, 0},
        {"  ", 0, made, 0},
        {PidText(holder.Pid()).substr(0, 10) + " otherprog user\n", 0, unreadable, 0},
        {"123456789012\n", 0, unreadable, 0},
        {PidText(holder.Pid()) + std::string(53, ' '), 0, unreadable, 0},  // 64 bytes
        {"+" + pid + "\n", 0, unreadable, 0},
        {pid + std::string(1, '\0'), 0, unreadable, 0},
        {pid + "\n\n", 0, unreadable, 0},
        {"junk\n", 0, unreadable, 0},
        {"0\n", 0, unreadable, 0},
        {"", 0, unreadable, 3},  // never written, by a program that may have gone
        {"   ", 0, unreadable, 3},
    };
    SerialChannel channel;
    channel.SelectPortName(peer.SlavePath().c_str());
    for (const auto& held : kHeld) {
        WriteFile(lock, held.text);
        Age(lock, held.ageSeconds);
        EXPECT_EQ(channel.Open(8, 0, 0), kSerialOpenFailed) << held.text;
        EXPECT_EQ(channel.LastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(LastPortLockNotes().holderPid, held.holder) << held.text;
        EXPECT_EQ(LastPortLockNotes().heldBecause.rfind(held.why, 0), 0u) << held.text << ": " << LastPortLockNotes().heldBecause;
        EXPECT_EQ(watch.Opens(), 0);
        EXPECT_EQ(Slurp(lock), held.text);
    }

    // Once the holder has gone its lock is stale: the open goes ahead (and
    // the watch sees it, so it would have seen the refused one).
    WriteFile(lock, PidText(holder.Pid()));
    holder.End();
    ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
    EXPECT_EQ(watch.Opens(), 1);
    EXPECT_EQ(LastPortLockNotes().holderPid, 0);
    EXPECT_EQ(LastPortLockNotes().heldBecause, "");
    channel.Close(true);
    EXPECT_FALSE(fs::exists(lock));
}

TEST(UucpLock, TwoNamesOfOneDeviceShareOneLock) {
    PtyPeer peer;
    const fs::path link = fs::path(LockDirectoryEnvironment::s_directory).parent_path() /
                          ("tovrel-link-" + std::to_string(getpid()));
    fs::create_symlink(peer.SlavePath(), link);
    HANDLE byLink = OpenByName(link.string());
    ASSERT_NE(byLink, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Slurp(LockOf(peer)), PidText(getpid()));

    OpenWatch watch(peer.SlavePath());
    EXPECT_EQ(OpenByName(peer.SlavePath()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(LastPortLockNotes().holderPid, getpid());
    EXPECT_EQ(watch.Opens(), 0);  // refused by the lock, not by flock after an open
    CloseHandle(byLink);
    fs::remove(link);
}

// As a user who cannot write the lock directory (a process of its own that
// gives up root), the port opens with flock alone and says why; a second
// open is still refused.
TEST(UucpLock, UnwritableDirectoryLeavesFlockAlone) {
    PtyPeer peer;
    ASSERT_EQ(chmod(peer.SlavePath().c_str(), 0666), 0);
    char folder[] = "/tmp/tovrel-rolocks-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ASSERT_EQ(chmod(folder, 0755), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        bool ok = BecomeNobody();
        SetUucpLockDirectory(folder);
        SerialChannel first, second;
        first.SelectPortName(peer.SlavePath().c_str());
        second.SelectPortName(peer.SlavePath().c_str());
        ok = ok && first.Open(8, 0, 0) == kSerialOk;
        const std::string why = LastPortLockNotes().unlockedBecause;
        ok = ok && why.find(std::string(folder) + " is not writable") != std::string::npos;
        ok = ok && fs::is_empty(folder);
        ok = ok && second.Open(8, 0, 0) == kSerialOpenFailed && second.LastError() == ERROR_SHARING_VIOLATION &&
             LastPortLockNotes().holderPid == 0;
        first.Close(true);
        const std::string line = (ok ? "ok " : "failed ") + why;
        (void)!write(report[1], line.data(), line.size());
        _exit(0);
    }
    close(report[1]);
    char text[512] = {};
    (void)!read(report[0], text, sizeof text - 1);
    close(report[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(std::string(text).rfind("ok ", 0), 0u) << text;
    fs::remove_all(folder);
}

// Another user (a process that gives up root) puts something other than a
// file at the lock path of a sticky directory anyone may write. None may hang
// the open (a FIFO did) or be followed: the port opens with flock alone, says
// why, leaves the thing as it is, and a second open is still refused.
TEST(UucpLock, WhatAnotherUserPutsAtTheLockPathLeavesFlockAlone) {
    PtyPeer peer;
    const SharedLockDirectory shared;
    const std::string lock = LockOf(peer);
    const std::string decoy = shared.Path() + "/decoy";
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const struct {
        const char* what;
        bool (*plant)(const std::string& lock, const std::string& decoy, pid_t dead);
    } kPlanted[] = {
        {"a FIFO", [](const std::string& lock, const std::string&, pid_t) { return mkfifo(lock.c_str(), 0666) == 0; }},
        {"a link to a stale lock",
         [](const std::string& lock, const std::string& decoy, pid_t dead) {
             WriteFile(decoy, PidText(dead));
             return symlink(decoy.c_str(), lock.c_str()) == 0;
         }},
        {"a link to nothing", [](const std::string& lock, const std::string&, pid_t) { return symlink("/nonexistent", lock.c_str()) == 0; }},
        {"a directory", [](const std::string& lock, const std::string&, pid_t) { return mkdir(lock.c_str(), 0777) == 0; }},
    };
    for (const auto& planted : kPlanted) {
        ASSERT_TRUE(InChild([&] { return BecomeNobody() && planted.plant(lock, decoy, dead); })) << planted.what;
        struct stat before {};
        ASSERT_EQ(lstat(lock.c_str(), &before), 0);
        const std::vector<std::string> entries = Entries(shared.Path());
        {
            const Watchdog watchdog(10);
            SerialChannel first, second;
            first.SelectPortName(peer.SlavePath().c_str());
            second.SelectPortName(peer.SlavePath().c_str());
            ASSERT_EQ(first.Open(8, 0, 0), kSerialOk) << planted.what;
            EXPECT_EQ(LastPortLockNotes().unlockedBecause.rfind("cannot read " + lock + ": ", 0), 0u)
                << planted.what << ": " << LastPortLockNotes().unlockedBecause;
            EXPECT_EQ(second.Open(8, 0, 0), kSerialOpenFailed) << planted.what;
            EXPECT_EQ(second.LastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
            first.Close(true);
        }
        struct stat after {};
        ASSERT_EQ(lstat(lock.c_str(), &after), 0) << planted.what;
        EXPECT_EQ(after.st_ino, before.st_ino) << planted.what;
        EXPECT_EQ(Entries(shared.Path()), entries) << planted.what;  // no lock, no temporary file
        EXPECT_TRUE(!fs::exists(decoy) || Slurp(decoy) == PidText(dead)) << planted.what;
        for (const auto& entry : entries) fs::remove_all(shared.Path() + "/" + entry);
    }
}

// Many Tovrels take over one stale lock at the same moment, trial after
// trial: exactly one owns it each time, the others are refused by its lock,
// and no owner finds its lock file removed or replaced before it lets go.
TEST(UucpLock, ManyTakingOverOneStaleLockLeaveOneOwner) {
    constexpr int kRacers = 50;
    constexpr int kTrials = 500;
    struct Board {
        pthread_barrier_t barrier;
        int outcome[kTrials][kRacers];
        int kept[kTrials][kRacers];  // an owner's lock still its own file when it released it
    };
    void* shared = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* board = new (shared) Board{};
    pthread_barrierattr_t attributes;
    pthread_barrierattr_init(&attributes);
    pthread_barrierattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_barrier_init(&board->barrier, &attributes, kRacers + 1);
    const std::string device = "/dev/tovrel-race";
    const std::string lock = UucpLockPath(device);
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);

    const Watchdog watchdog(60);  // a racer that dies would hold the others at the barrier
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> racers;
    for (int r = 0; r < kRacers; ++r) {
        const pid_t racer = fork();
        if (racer == 0) {
            for (int t = 0; t < kTrials; ++t) {
                pthread_barrier_wait(&board->barrier);  // the stale lock is there
                const UucpLockAttempt attempt = TakeUucpLock(device);
                struct stat taken {};
                const bool owner = attempt.outcome == UucpLockAttempt::kTaken && lstat(lock.c_str(), &taken) == 0;
                board->outcome[t][r] = attempt.outcome;
                pthread_barrier_wait(&board->barrier);  // everyone has tried
                struct stat now {};
                board->kept[t][r] = owner && lstat(lock.c_str(), &now) == 0 && now.st_ino == taken.st_ino &&
                                    Slurp(lock) == PidText(getpid());
                if (owner) ReleaseUucpLock(attempt.lockPath);
                pthread_barrier_wait(&board->barrier);  // released
            }
            _exit(0);
        }
        racers.push_back(racer);
    }
    int doubleOwned = 0;
    for (int t = 0; t < kTrials; ++t) {
        WriteFile(lock, PidText(dead));
        for (int phase = 0; phase < 3; ++phase) pthread_barrier_wait(&board->barrier);
        int taken = 0, held = 0, kept = 0;
        for (int r = 0; r < kRacers; ++r) {
            taken += board->outcome[t][r] == UucpLockAttempt::kTaken;
            held += board->outcome[t][r] == UucpLockAttempt::kHeld;
            kept += board->kept[t][r];
        }
        doubleOwned += taken > 1;
        EXPECT_EQ(taken, 1) << "trial " << t;
        EXPECT_EQ(held, kRacers - 1) << "trial " << t;
        EXPECT_EQ(kept, taken) << "trial " << t;
        EXPECT_TRUE(fs::is_empty(LockDirectoryEnvironment::s_directory)) << "trial " << t;
    }
    for (const pid_t racer : racers) waitpid(racer, nullptr, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d racers x %d trials in %.2f s, %d trials with more than one owner\n", kRacers, kTrials, seconds,
                doubleOwned);
    pthread_barrier_destroy(&board->barrier);
    munmap(shared, sizeof(Board));
}

// A process killed by a signal at any moment of taking and releasing locks,
// whose handler calls RemoveHeldPortLocks, leaves neither its lock nor a
// temporary file behind.
TEST(UucpLock, KilledWhileLockingLeavesNothingBehind) {
    constexpr int kKills = 30;
    for (int k = 0; k < kKills; ++k) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            struct sigaction action {};
            action.sa_handler = [](int) {
                RemoveHeldPortLocks();
                _exit(0);
            };
            sigaction(SIGTERM, &action, nullptr);
            (void)!write(ready[1], "r", 1);
            for (int i = 0; i < 1000000; ++i) ReleaseUucpLock(TakeUucpLock("/dev/tovrel-killed").lockPath);
            _exit(1);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(static_cast<useconds_t>(100 + 97 * k));  // somewhere else in the loop each time
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        const std::vector<std::string> left = Entries(LockDirectoryEnvironment::s_directory);
        EXPECT_EQ(left, std::vector<std::string>()) << "kill " << k;
        for (const auto& name : left) fs::remove(LockDirectoryEnvironment::s_directory + "/" + name);
    }
}
