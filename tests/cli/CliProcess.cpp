#include "CliProcess.h"

#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

fs::path UniqueTempPath(const char* stem) {
    static std::atomic<int> counter{0};
    return fs::temp_directory_path() /
           (std::string(stem) + std::to_string(getpid()) + "-" + std::to_string(counter++));
}

}  // namespace

CliResult RunCli(const std::string& args, const std::string& input, const std::string& launcher) {
    const fs::path in = UniqueTempPath("tovrel-cli-in-");
    std::ofstream(in) << input;
    const std::string command = launcher + TOVREL_CLI_PATH + " " + args + " <" + in.string() + " 2>&1";
    CliResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    fs::remove(in);
    return result;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CliProcess::CliProcess(const std::vector<std::string>& args, bool errorsOnTerminal, const std::vector<int>& closed) {
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    m_input = input[1];
    int out = -1;
    int err = -1;
    int slave = -1;
    if (errorsOnTerminal) {
        if (openpty(&m_terminal, &slave, nullptr, nullptr, nullptr) != 0) return;
        fcntl(m_terminal, F_SETFD, FD_CLOEXEC);
        fcntl(m_terminal, F_SETFL, O_NONBLOCK);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        out = open("/dev/null", O_WRONLY | O_CLOEXEC);
        err = slave;
    } else {
        m_outputFile = UniqueTempPath("tovrel-cli-out-");
        out = open(m_outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        err = out;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int given[] = {input[0], out, err};
    for (int fd = 0; fd < 3; ++fd) {
        if (std::find(closed.begin(), closed.end(), fd) != closed.end())
            posix_spawn_file_actions_addclose(&actions, fd);
        else
            posix_spawn_file_actions_adddup2(&actions, given[fd], fd);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv{const_cast<char*>(TOVREL_CLI_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(input[0]);
    close(out);
    if (slave >= 0) close(slave);
}

CliProcess::~CliProcess() {
    CloseInput();
    if (m_pid > 0 && !Wait(0)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_terminal >= 0) close(m_terminal);
    if (!m_outputFile.empty()) fs::remove(m_outputFile);
}

void CliProcess::Input(const std::string& text) {
    if (m_input < 0) return;
    // A client that has already gone must fail the test, not end it: the
    // SIGPIPE such a write raises is blocked and taken back.
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const bool failed = write(m_input, text.data(), text.size()) < 0;
    const timespec now{};
    if (failed) sigtimedwait(&pipe, nullptr, &now);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void CliProcess::CloseInput() {
    if (m_input >= 0) close(m_input);
    m_input = -1;
}

void CliProcess::Signal(int signal) {
    if (m_pid > 0) kill(m_pid, signal);
}

std::optional<int> CliProcess::Wait(int waitMs) {
    if (m_pid <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        DrainTerminal();
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            DrainTerminal();
            m_pid = -1;
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string CliProcess::Output() {
    DrainTerminal();
    return m_terminal >= 0 ? m_terminalText : Slurp(m_outputFile);
}

void CliProcess::DrainTerminal() {
    if (m_terminal < 0) return;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(m_terminal, buffer, sizeof buffer)) > 0) m_terminalText.append(buffer, static_cast<size_t>(n));
}

CliResult RunCliOnTerminal(const std::vector<std::string>& args) {
    CliProcess cli(args, true);
    cli.CloseInput();
    CliResult result;
    const std::optional<int> status = cli.Wait(60000);
    if (status && WIFEXITED(*status)) result.code = WEXITSTATUS(*status);
    result.output = cli.Output();
    return result;
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
}
