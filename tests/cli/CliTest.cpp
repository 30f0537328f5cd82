// tovrel-cli as a user runs it, against the simulated module: exit codes,
// files copied both ways, a PC file that survives a failed copy, an empty
// disk file that saves nothing, the search past a missing COM1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"

namespace fs = std::filesystem;

namespace {

class Cli : public CliFixture {};

}  // namespace

TEST_F(Cli, InfoReportsTheModule) {
    const CliResult r = RunCli("--json info");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("\"rate\": 9600"), std::string::npos) << r.output;
}

TEST_F(Cli, PutAndGetCopyAFileBothWays) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 37);
    std::ofstream(work / "in.bin", std::ios::binary) << data;
    CliResult r = RunCli("put " + (work / "in.bin").string() + " DATA.BIN");
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
    const CliResult r = RunCli("get BIG.BIN " + (work / "keep.bin").string());
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_EQ(Slurp(work / "keep.bin"), "precious");
    for (const auto& entry : fs::directory_iterator(work)) EXPECT_EQ(entry.path().filename(), "keep.bin");
}

TEST_F(Cli, APcFileThatIsNoRegularFileIsRefusedUnreadAndNothingIsSent) {
    const fs::path fifo = work / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo.string(), std::string("/dev/zero"), work.string()}) {
        // Opening a FIFO with nobody writing would block for good.
        const CliResult r = RunCli("put " + path + " X.BIN");
        EXPECT_EQ(r.code, 6) << path << ": " << r.output;
        EXPECT_NE(r.output.find("not a regular file"), std::string::npos) << r.output;
    }
    EXPECT_TRUE(simulator->Requests().empty());
    EXPECT_FALSE(simulator->DiskDirectoryExists("X.BIN"));
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
    const CliResult r = RunCli("shell", "mkdir LOGS\ncd LOGS\nopen A.TXT\nwrite hello\\r\\n\nclose\nquit\n");
    EXPECT_EQ(r.code, 0) << r.output;
    std::vector<uint8_t> onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("LOGS/A.TXT", &onDisk));
    EXPECT_EQ(std::string(onDisk.begin(), onDisk.end()), "hello\r\n");
}

TEST_F(Cli, TraceShowsTheFramesBothWays) {
    const CliResult r = RunCli("--trace mkdir D");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("-> 55 3A 50 FF 01 00\n-> 44\n<- 53 3A 50 00 00 00\n"), std::string::npos) << r.output;
}

TEST_F(Cli, ProgressBarOnlyWhenErrorsGoToATerminal) {
    std::ofstream(work / "in.bin", std::ios::binary) << std::string(3000, 'x');
    const std::string in = (work / "in.bin").string();
    const CliResult shown = RunCliOnTerminal({"put", in, "BAR.BIN"});
    ASSERT_EQ(shown.code, 0) << shown.output;
    // Redrawn in place after each 512-byte chunk, ending full, then a new line.
    EXPECT_NE(shown.output.find("\rput BAR.BIN [#####                         ]  17% 512/3000 bytes"),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("\rput BAR.BIN [##############################] 100% 3000/3000 bytes"),
              std::string::npos)
        << shown.output;
    EXPECT_EQ(shown.output.back(), '\n');

    const CliResult piped = RunCli("put " + in + " BAR.BIN");
    ASSERT_EQ(piped.code, 0) << piped.output;
    EXPECT_EQ(piped.output.find('\r'), std::string::npos) << piped.output;
    EXPECT_EQ(piped.output.find("100%"), std::string::npos) << piped.output;
}

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(Cli, GetOfAnEmptyDiskFileSavesNothingAndSaysItMayBeNew) {
    // A name the disk lacks: the module's open creates it empty.
    CliResult r = RunCli("get NOSUCH.TXT " + (work / "new.txt").string());
    EXPECT_EQ(r.code, 8) << r.output;
    EXPECT_NE(r.output.find("NOSUCH.TXT is empty: it may just have been created by opening it"), std::string::npos)
        << r.output;

    ASSERT_TRUE(simulator->WriteDiskFile("EMPTY.TXT", {}));
    std::ofstream(work / "keep.txt") << "precious";
    r = RunCli("get EMPTY.TXT " + (work / "keep.txt").string());
    EXPECT_EQ(r.code, 8) << r.output;
    EXPECT_EQ(Slurp(work / "keep.txt"), "precious");

    // The shell's get and readfile say the same and end the shell non-zero.
    r = RunCli("shell", "get EMPTY.TXT " + (work / "a.txt").string() + "\nopen EMPTY.TXT\nreadfile " +
                            (work / "b.txt").string() + "\nclose\n");
    EXPECT_EQ(r.code, 8) << r.output;
    EXPECT_EQ(Occurrences(r.output, "may just have been created by opening it"), 2u) << r.output;

    EXPECT_EQ(FilesIn(work), std::vector<std::string>{"keep.txt"});
    // Nothing on the disk is deleted: an empty file may have been there before.
    std::vector<uint8_t> contents;
    EXPECT_TRUE(simulator->ReadDiskFile("EMPTY.TXT", &contents));
    EXPECT_TRUE(simulator->ReadDiskFile("NOSUCH.TXT", &contents));
}

TEST_F(Cli, SearchGoesOnToCom2WhenCom1CannotBeOpened) {
    setenv("TOVREL_COM1", "/nonexistent", 1);
    setenv("TOVREL_COM2", simulator->SlavePath().c_str(), 1);
    CliResult r = RunCli("search");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("COM1: cannot be opened\ntrying COM2 at 4800 bit/s\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("found: COM2 at 9600 bit/s"), std::string::npos) << r.output;

    // Every other command still needs its --port.
    EXPECT_EQ(RunCli("info").code, 5);

    setenv("TOVREL_COM2", "/nonexistent", 1);
    r = RunCli("--json search");
    EXPECT_EQ(r.code, 5) << r.output;
    EXPECT_NE(r.output.find("neither COM1 nor COM2 could be opened"), std::string::npos) << r.output;
    unsetenv("TOVREL_COM2");
}

TEST_F(Cli, SetAndInfoShowTheClockAlike) {
    const CliResult set = RunCli("set --clock '26-12-08 04:09:09'");
    EXPECT_EQ(set.code, 0) << set.output;
    EXPECT_NE(set.output.find("clock 2026-12-08 04:09:09\n"), std::string::npos) << set.output;
    const CliResult info = RunCli("info");
    EXPECT_NE(info.output.find("clock: 2026-12-08 04:09:"), std::string::npos) << info.output;
}
