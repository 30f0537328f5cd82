// The window's own process ended by a signal: INT, TERM and HUP end it as
// Cancel does, with status 0, its port's lock file removed and the port's
// settings as it found them; also while a message box is up.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/ModuleSimulator.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Starts the window with --report-shown and waits, at most 20 s, for its
// "shown"; its PID, or -1.
pid_t StartWindow() {
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(TOVREL_WINDOW_PROGRAM), const_cast<char*>("--report-shown"), nullptr};
    pid_t pid = -1;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char line[16] = {};
    const bool shown = spawned && poll(&ready, 1, 20000) == 1 && read(out[0], line, sizeof line - 1) > 0 &&
                       std::strncmp(line, "shown", 5) == 0;
    close(out[0]);
    if (spawned && !shown) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return shown ? pid : -1;
}

// Its wait status once it has ended, within 10 s; -1 (and killed) if not.
int EndedWithin10s(pid_t pid) {
    for (int tick = 0; tick < 1000; ++tick) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b) &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

TEST(WindowSignals, IntTermAndHupEndItCleanly) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ModuleSimulator module(SimConfig{});
    std::string error;
    ASSERT_TRUE(module.Start(&error)) << error;
    char folder[] = "/tmp/tovrel-winlocks-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("TOVREL_LOCK_DIR", folder, 1);
    // Held open throughout, so the port's settings outlive each window.
    const int port = open(module.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(port, 0);
    // Settings the window changes (it wants 9600, no echo, no line editing).
    termios found{};
    ASSERT_EQ(tcgetattr(port, &found), 0);
    found.c_lflag |= ECHO | ICANON;
    cfsetspeed(&found, B4800);
    ASSERT_EQ(tcsetattr(port, TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(port, &found), 0);

    const struct {
        int signal;
        bool portOpens;  // else 打开串口失败! is up when the signal comes
    } kCases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGTERM, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.portOpens ? "" : ", message box up"));
        setenv("TOVREL_COM1", c.portOpens ? module.SlavePath().c_str() : "/nonexistent/tty", 1);
        const pid_t window = StartWindow();
        ASSERT_GT(window, 0);
        const std::string lock = std::string(folder) + "/LCK.." + module.SlavePath().substr(5).replace(3, 1, "_");
        if (c.portOpens) {
            char text[16];
            std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(window));
            std::ifstream in(lock);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
            termios used{};
            ASSERT_EQ(tcgetattr(port, &used), 0);
            EXPECT_FALSE(SameSettings(found, used));
        }
        ASSERT_EQ(kill(window, c.signal), 0);
        const int status = EndedWithin10s(window);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(fs::is_empty(folder));
        termios left{};
        ASSERT_EQ(tcgetattr(port, &left), 0);
        EXPECT_TRUE(SameSettings(found, left));
    }
    close(port);
    fs::remove_all(folder);
}
