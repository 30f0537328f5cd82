// tovrel-cli run as a user runs it: to the end with its output captured, or
// alongside the test, which feeds its input, signals it and waits for it.
#ifndef TOVREL_TESTS_CLI_CLIPROCESS_H
#define TOVREL_TESTS_CLI_CLIPROCESS_H

#include <sys/types.h>

#include <filesystem>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CliResult {
    int code = -1;  // exit status; -1 when it did not exit by itself
    std::string output;
};

// Runs the client through the shell (args are shell words) with output and
// errors captured; stdin from `input`. `launcher` goes before the client's
// path (shell words too), e.g. to run it as another user.
CliResult RunCli(const std::string& args, const std::string& input = "", const std::string& launcher = "");

std::string Slurp(const std::filesystem::path& path);
inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline std::vector<uint8_t> AsBytes(const std::string& text) { return {text.begin(), text.end()}; }
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& data);
// The names in a folder, sorted.
std::vector<std::string> FilesIn(const std::filesystem::path& folder);

class CliProcess {
public:
    // errorsOnTerminal: stderr on a pseudo-terminal read here, as at an
    // interactive shell, stdout discarded; otherwise both go to one file.
    // SIGINT starts at its default action whatever the test's is. The
    // standard descriptors in `closed` (0, 1, 2) it starts without, as
    // after `>&-`.
    explicit CliProcess(const std::vector<std::string>& args, bool errorsOnTerminal = false,
                        const std::vector<int>& closed = {});
    ~CliProcess();  // kills it if it still runs
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Input(const std::string& text);
    void CloseInput();
    void Signal(int signal);
    // Its wait status once it has ended, or nothing if it still runs after waitMs.
    std::optional<int> Wait(int waitMs);
    // What it has written so far.
    std::string Output();

private:
    void DrainTerminal();

    pid_t m_pid = -1;
    int m_input = -1;     // the write end of its stdin
    int m_terminal = -1;  // the master of its stderr's terminal
    std::string m_terminalText;
    std::filesystem::path m_outputFile;
};

// Runs the client with its errors on a terminal, input and output empty.
CliResult RunCliOnTerminal(const std::vector<std::string>& args);

#endif
