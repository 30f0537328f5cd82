// tovrel-cli as a user runs it, against the simulated module: exit codes,
// files copied both ways, and a PC file that survives a failed copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/ModuleSimulator.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string output;
};

// Runs the client with its output and errors captured; stdin from `input`.
Result RunCli(const std::string& args, const std::string& input = "") {
    const fs::path in = fs::temp_directory_path() / ("tovrel-cli-in-" + std::to_string(getpid()));
    std::ofstream(in) << input;
    const std::string command = std::string(TOVREL_CLI_PATH) + " " + args + " <" + in.string() + " 2>&1";
    Result result;
    std::FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    fs::remove(in);
    return result;
}

// Runs the client with its errors on a terminal (a pseudo-terminal read
// here), as a user at a shell sees them; output and input are /dev/null.
Result RunCliOnTerminal(const std::vector<std::string>& args) {
    Result result;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    std::vector<char*> argv{const_cast<char*>(TOVREL_CLI_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(slave, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(master, buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
    close(master);  // read fails with EIO once the client has gone
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) result.code = WEXITSTATUS(status);
    return result;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        work = fs::temp_directory_path() / ("tovrel-cli-" + std::to_string(getpid()));
        fs::create_directories(work);
        simulator = std::make_unique<ModuleSimulator>(SimConfig());
        std::string error;
        ASSERT_TRUE(simulator->Start(&error)) << error;
        setenv("TOVREL_COM1", simulator->SlavePath().c_str(), 1);
    }
    void TearDown() override {
        simulator.reset();
        fs::remove_all(work);
    }
    fs::path work;
    std::unique_ptr<ModuleSimulator> simulator;
};

}  // namespace

TEST_F(Cli, InfoReportsTheModule) {
    const Result r = RunCli("--json info");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("\"rate\": 9600"), std::string::npos) << r.output;
}

TEST_F(Cli, PutAndGetCopyAFileBothWays) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 37);
    std::ofstream(work / "in.bin", std::ios::binary) << data;
    Result r = RunCli("put " + (work / "in.bin").string() + " DATA.BIN");
    ASSERT_EQ(r.code, 0) << r.output;
    std::vector<uint8_t> onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("DATA.BIN", &onDisk));
    EXPECT_EQ(std::string(onDisk.begin(), onDisk.end()), data);

    r = RunCli("get DATA.BIN " + (work / "out.bin").string());
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(Slurp(work / "out.bin"), data);
}

TEST_F(Cli, FailedGetLeavesTheExistingPcFile) {
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", std::vector<uint8_t>(2000, 0x41)));
    std::ofstream(work / "keep.bin") << "precious";
    simulator->ArmFault({SimFault::kStatus, 9, {}, 3, false});  // open, first chunk, then refused
    const Result r = RunCli("get BIG.BIN " + (work / "keep.bin").string());
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_EQ(Slurp(work / "keep.bin"), "precious");
    for (const auto& entry : fs::directory_iterator(work)) EXPECT_EQ(entry.path().filename(), "keep.bin");
}

TEST_F(Cli, ExitCodesTellWhatWentWrong) {
    EXPECT_EQ(RunCli("--baud 12345 info").code, 2);
    EXPECT_EQ(RunCli("frobnicate").code, 2);
    EXPECT_EQ(RunCli("put " + (work / "missing.bin").string()).code, 6);
    EXPECT_EQ(RunCli("rmdir NOSUCHDIR").code, 4);
    EXPECT_EQ(RunCli("--port /dev/null info").code, 5);
    simulator->ArmFault({SimFault::kSilent, 0, {}, 1, false});
    EXPECT_EQ(RunCli("info").code, 3);
}

TEST_F(Cli, ShellKeepsOneConnectionForManyCommands) {
    const Result r = RunCli("shell", "mkdir LOGS\ncd LOGS\nopen A.TXT\nwrite hello\\r\\n\nclose\nquit\n");
    EXPECT_EQ(r.code, 0) << r.output;
    std::vector<uint8_t> onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("LOGS/A.TXT", &onDisk));
    EXPECT_EQ(std::string(onDisk.begin(), onDisk.end()), "hello\r\n");
}

TEST_F(Cli, TraceShowsTheFramesBothWays) {
    const Result r = RunCli("--trace mkdir D");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("-> 55 3A 50 FF 01 00\n-> 44\n<- 53 3A 50 00 00 00\n"), std::string::npos) << r.output;
}

TEST_F(Cli, ProgressBarOnlyWhenErrorsGoToATerminal) {
    std::ofstream(work / "in.bin", std::ios::binary) << std::string(3000, 'x');
    const std::string in = (work / "in.bin").string();
    const Result shown = RunCliOnTerminal({"put", in, "BAR.BIN"});
    ASSERT_EQ(shown.code, 0) << shown.output;
    // Redrawn in place after each 512-byte chunk, ending full, then a new line.
    EXPECT_NE(shown.output.find("\rput BAR.BIN [#####                         ]  17% 512/3000 bytes"),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("\rput BAR.BIN [##############################] 100% 3000/3000 bytes"),
              std::string::npos)
        << shown.output;
    EXPECT_EQ(shown.output.back(), '\n');

    const Result piped = RunCli("put " + in + " BAR.BIN");
    ASSERT_EQ(piped.code, 0) << piped.output;
    EXPECT_EQ(piped.output.find('\r'), std::string::npos) << piped.output;
    EXPECT_EQ(piped.output.find("100%"), std::string::npos) << piped.output;
}
