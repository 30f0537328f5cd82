// The UUCP lock file taken before a port is opened: its place and content,
// a stale lock taken over, a running holder refused without the device being
// opened at all, one lock for two names of a device, and flock alone where
// the lock directory is not writable. Every test of this program locks in a
// directory of its own, which must be empty again when it ends.
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
    // A dead process's, a binary one of an old program, and garbage.
    int32_t binary = dead;
    for (const std::string& stale : {PidText(dead), std::string(reinterpret_cast<char*>(&binary), 4), std::string("junk\n")}) {
        WriteFile(lock, stale);
        HANDLE port = OpenByName(peer.SlavePath());
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Slurp(lock), PidText(getpid()));
        CloseHandle(port);
        EXPECT_FALSE(fs::exists(lock));
    }
}

TEST(UucpLock, RunningHolderRefusesBeforeTheDeviceIsOpened) {
    PtyPeer peer;
    const std::string lock = LockOf(peer);
    LiveProcess holder;
    WriteFile(lock, PidText(holder.Pid()));
    OpenWatch watch(peer.SlavePath());

    SerialChannel channel;
    channel.SelectPortName(peer.SlavePath().c_str());
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialOpenFailed);
    EXPECT_EQ(channel.LastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(LastPortLockNotes().holderPid, holder.Pid());
    EXPECT_EQ(watch.Opens(), 0);
    EXPECT_EQ(Slurp(lock), PidText(holder.Pid()));

    // Once the holder has gone its lock is stale: the open goes ahead (and
    // the watch sees it, so it would have seen the refused one).
    holder.End();
    ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
    EXPECT_EQ(watch.Opens(), 1);
    EXPECT_EQ(LastPortLockNotes().holderPid, 0);
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
        const gid_t nobody = 65534;
        bool ok = setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0 &&
                  setresuid(nobody, nobody, nobody) == 0;
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
