// The window's own process: --help and --version, a start without a
// display (one line, exit 2, never SIGABRT), and its end by a signal: INT,
// TERM and HUP end it as Cancel does, with status 0, its port's lock file
// removed and the port's settings as it found them; also while a message
// box is up.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Runs the window to its end with the environment changed by `env`
// ("NAME=value" sets, "NAME" unsets); its wait status and what it printed
// (stdout and stderr in one).
int RunWindow(const std::vector<std::string>& args, const std::vector<std::string>& env, std::string* output) {
    std::string command = "env";
    for (const std::string& change : env)
        command += change.find('=') == std::string::npos ? " -u " + change : " '" + change + "'";
    command += std::string(" ") + TOVREL_WINDOW_PROGRAM;
    for (const std::string& arg : args) command += " " + arg;
    std::FILE* pipe = popen((command + " 2>&1 </dev/null").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
    return pclose(pipe);
}

}  // namespace

TEST(WindowStart, HelpVersionAndNoDisplaySayWhatTheyMean) {
    const std::string hint = "; run it from a desktop session, or under a virtual X server: xvfb-run -a tovrel\n";
    const std::vector<std::string> noDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int code;
        std::string start;  // how the output begins
        std::string end;    // and how it ends, when it is not all in `start`
    } rows[] = {
        {{"--help"}, noDisplay, 0, "Usage: tovrel [Qt options]\n", "See tovrel(1).\n"},
        {{"--version"}, noDisplay, 0, "tovrel 1.0.0.1\n", ""},
        {{}, noDisplay, 2, "tovrel: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set)" + hint, ""},
        // A display named that is not there, a platform that cannot start.
        {{}, {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DISPLAY=:57"}, 2, "tovrel: cannot open the window: ", hint},
        {{"-platform", "xcb"}, noDisplay, 2, "tovrel: cannot open the window: ", hint},
        {{}, {"QT_QPA_PLATFORM=nosuch"}, 2, "tovrel: cannot open the window: ", hint},
    };
    for (const auto& row : rows) {
        std::string output;
        const int status = RunWindow(row.args, row.env, &output);
        const std::string what = (row.args.empty() ? std::string("no option") : row.args[0]) + ": " + output;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.code) << status << ", " << what;
        EXPECT_EQ(output.compare(0, row.start.size(), row.start), 0) << what;
        const bool ends = output.size() >= row.end.size() &&
                          output.compare(output.size() - row.end.size(), row.end.size(), row.end) == 0;
        EXPECT_TRUE(ends) << what;
        if (row.code == 2) {
            EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << what;
        }
    }
}

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
