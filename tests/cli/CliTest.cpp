// tovrel-cli as a user runs it, against the simulated module: exit codes,
// files copied both ways, a PC file that survives a failed copy, an empty
// disk file that saves nothing, the search past a missing COM1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/ScriptedPeer.h"

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
    simulator->ArmFault({SimFault::kStatus, 9, {}, 4, false});  // in step, open, first chunk, then refused
    const CliResult r = RunCli("get --retries 0 BIG.BIN " + (work / "keep.bin").string());
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_EQ(Slurp(work / "keep.bin"), "precious");
    for (const auto& entry : fs::directory_iterator(work)) EXPECT_EQ(entry.path().filename(), "keep.bin");
}

TEST_F(Cli, APcFileThatIsNoRegularFileIsRefusedUnreadAndNothingIsSent) {
    const fs::path fifo = work / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A device of our own (as /dev/zero), and another user's FIFO and link
    // to it in a sticky shared directory: refused before being opened at
    // all (opening a serial device would raise its DTR and RTS).
    const fs::path device = work / "zero";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    const fs::path shared = work / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string theirFifo = (shared / "fifo").string(), theirLink = (shared / "link").string();
    ASSERT_TRUE(AsNobody([&] {
        return mkfifo(theirFifo.c_str(), 0666) == 0 && symlink(device.c_str(), theirLink.c_str()) == 0;
    }));
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const fs::path& watched : {fifo, device, fs::path(theirFifo)})
        ASSERT_GE(inotify_add_watch(watch, watched.c_str(), IN_OPEN), 0);
    for (const std::string& path :
         {fifo.string(), std::string("/dev/zero"), work.string(), device.string(), theirFifo, theirLink}) {
        // Opening a FIFO with nobody writing would block for good.
        for (const std::string& command : {"put " + path + " X.BIN", std::string("shell")}) {
            const CliResult r = RunCli(command, "open X.BIN\nwritefile " + path + "\n");
            EXPECT_EQ(r.code, 6) << path << ": " << r.output;
            EXPECT_NE(r.output.find("not a regular file"), std::string::npos) << r.output;
        }
    }
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "opened before being refused";
    close(watch);
    for (const auto& request : simulator->Requests()) EXPECT_NE(request[2], 0x20);
    std::vector<uint8_t> onDisk;
    if (simulator->ReadDiskFile("X.BIN", &onDisk)) {
        EXPECT_TRUE(onDisk.empty());
    }
}

// Bad input exits 2 with nothing sent: a rate not written as one of the
// eight, a date that does not exist. --port takes COMn as the window's
// port combo does, letters in any case; a path's case matters.
TEST_F(Cli, ExitCodesTellWhatWentWrong) {
    setenv("TOVREL_COM2", simulator->SlavePath().c_str(), 1);
    std::string upperPath = simulator->SlavePath();
    std::transform(upperPath.begin(), upperPath.end(), upperPath.begin(), ::toupper);
    const std::string rates = ": not a rate; --baud takes one of 4800 9600 14400 19200 38400 56000 57600 115200\n";
    const struct {
        std::string args;
        int code;
        std::string shown;  // a part of the output
    } rows[] = {
        {"--baud 12345 info", 2, "--baud 12345" + rates},
        {"--baud 9600x info", 2, "--baud 9600x" + rates},
        {"--baud 09600 info", 2, "--baud 09600" + rates},
        {"--baud +9600 info", 2, "--baud +9600" + rates},
        {"--baud ' 9600' info", 2, "--baud  9600" + rates},
        {"--baud '' info", 2, "--baud " + rates},
        {"--baud", 2, "--baud needs a value"},
        {"--baud 9600 --port com1 info", 0, "port: COM1\n"},
        {"--port Com2 info", 0, "port: COM2\n"},
        {"--port ' cOm1 ' info", 0, "port: COM1\n"},
        {"--port 7 info", 2, "--port 7: not a port; --port takes 1 to 6 for COM1 to COM6, or a port's name"},
        {"--port " + upperPath + " info", 5, "no such port"},
        {"--port /dev/null info", 5, "cannot open /dev/null"},
        {"frobnicate", 2, "unknown command"},
        {"put " + (work / "missing.bin").string(), 6, "missing.bin"},
        {"rmdir NOSUCHDIR", 4, "refused by the module"},
        {"set --clock '26-12-31 23:59:59'", 0, "clock 2026-12-31 23:59:59"},
        {"set --clock '24-02-29 12:00:00'", 0, "clock 2024-02-29 12:00:00"},
        {"set --clock '00-02-29 00:00:00'", 0, "clock 2000-02-29 00:00:00"},
        {"set --clock '26-02-30 00:00:00'", 2, "set: --clock"},
        {"set --clock '25-02-29 12:00:00'", 2, "set: --clock"},
        {"set --clock '26-04-31 10:00:00'", 2, "set: --clock"},
        {"set --clock '26-01-00 10:00:00'", 2, "set: --clock"},
        {"set --clock '26-13-01 10:00:00'", 2, "set: --clock"},
        {"set --clock '26-01-01 24:00:00'", 2, "set: --clock"},
        {"set --clock '26-01-01 23:60:00'", 2, "set: --clock"},
        {"set --clock '26-01-01 23:00:60'", 2, "set: --clock"},
        {"set --clock '+6-01-01 23:00:00'", 2, "set: --clock"},
        {"set --clock '2026-01-01 23:00:00'", 2, "set: --clock"},
        {"set --clock '26-01-01 23:00:00x'", 2, "set: --clock"},
    };
    for (const auto& row : rows) {
        const size_t sent = simulator->Requests().size();
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << row.args << ": " << r.output;
        EXPECT_NE(r.output.find(row.shown), std::string::npos) << row.args << ": " << r.output;
        if (row.code == 2) {
            EXPECT_EQ(simulator->Requests().size(), sent) << row.args;
        }
    }
    unsetenv("TOVREL_COM2");
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

    // --progress draws it all the same; --verify's read back is a second phase.
    const CliResult verified = RunCli("--progress put --verify " + in + " BAR.BIN");
    ASSERT_EQ(verified.code, 0) << verified.output;
    for (const char* phase : {"(1/2 write)", "(2/2 verify)"}) {
        EXPECT_NE(verified.output.find(std::string("\rput BAR.BIN ") + phase +
                                       " [##############################] 100% 3000/3000 bytes"),
                  std::string::npos)
            << verified.output;
    }
}

namespace {

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
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

// A read cut short, whatever cuts it, saves nothing over the PC file, exits
// 7 and says how far it came: the end of a file is only an answered chunk
// with fewer bytes than asked, confirmed by an empty one.
TEST_F(Cli, AReadCutShortSavesNothingAndSaysHowFarItCame) {
    const std::vector<uint8_t> data = Pattern(2000);
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    const std::string saved = (work / "saved.bin").string();
    struct Fault {
        SimFault fault;
        const char* reason;  // in the message
        bool afterOneChunk;  // the first chunk came whole
    };
    // Requests: 1 the opening's status exchange, 2 the open, 3 the first
    // chunk, 4 the second. (Garbage before an answer is read past.)
    const Fault faults[] = {
        {{SimFault::kSilent, 0, {}, 4, false}, "no answer from the module", true},
        {{SimFault::kStatus, 5, {}, 4, false}, "refused by the module (status 5: no file open)", true},
        {{SimFault::kOversizeLength, 600, {}, 4, false}, "", true},
        {{SimFault::kTruncatePayload, 10, {}, 4, false}, "", true},
        {{SimFault::kWrongMarker, 0, {}, 4, false}, "", true},
        // A module that answers every read with half the bytes asked.
        {{SimFault::kShortRead, 256, {}, 1, true}, "", false},
    };
    struct Command {
        std::string args, input, oneChunk;
    };
    const Command commands[] = {
        {"shell", "open BIG.BIN\nreadfile " + saved + "\n", "readfile: 512 bytes read: "},
        {"shell", "open BIG.BIN\nread 2000\n", "read: 512 bytes read: "},
        {"get --retries 0 BIG.BIN " + saved, "", "get: 512 bytes read: "},
    };
    for (const Fault& f : faults) {
        for (const Command& c : commands) {
            SCOPED_TRACE(c.args + " " + c.input + " fault " + std::to_string(f.fault.kind));
            std::ofstream(saved) << "precious";
            simulator->ClearFaults();
            simulator->ArmFault(f.fault);
            const CliResult r = RunCli(c.args, c.input);
            EXPECT_EQ(r.code, 7) << r.output;
            EXPECT_TRUE(Contains(r.output, f.reason)) << r.output;
            if (f.afterOneChunk) {
                EXPECT_TRUE(Contains(r.output, c.oneChunk)) << r.output;
            }
            EXPECT_TRUE(Contains(r.output, "nothing s")) << r.output;
            EXPECT_EQ(Slurp(saved), "precious");
            EXPECT_EQ(FilesIn(work), std::vector<std::string>{"saved.bin"});
        }
    }
    // An open that claims 4 GiB: read against the claim chunk by chunk, in
    // bounded memory, until the file ends short of it.
    simulator->ClearFaults();
    simulator->ArmFault({SimFault::kClaimSize, 0xFFFFFFFF, {}, 1, false});
    const CliResult r = RunCli("get BIG.BIN " + saved);
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_TRUE(Contains(r.output, "get: 2000 of 4294967295 bytes read: the file ended early; nothing saved to"))
        << r.output;
    EXPECT_EQ(Slurp(saved), "precious");
}

TEST_F(Cli, ReadfileReadsFromThePointerToTheEndOfTheFile) {
    const std::vector<uint8_t> data = Pattern(2000);
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    const std::string saved = (work / "saved.bin").string();
    // 976 leaves two whole chunks: the end is an answered read of nothing.
    for (const long from : {0L, 976L, 1000L, 1999L}) {
        SCOPED_TRACE(from);
        const CliResult r =
            RunCli("shell", "open BIG.BIN\nseek " + std::to_string(from) + "\nreadfile " + saved + "\nclose\n");
        EXPECT_EQ(r.code, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, "readfile: " + std::to_string(2000 - from) + " bytes to ")) << r.output;
        EXPECT_EQ(AsBytes(Slurp(saved)), std::vector<uint8_t>(data.begin() + from, data.end()));
    }
}

// The shell closes a file the user left open: the disk must not be pulled
// while one is.
TEST_F(Cli, TheShellClosesAFileLeftOpenAtQuitOrEndOfInput) {
    const struct {
        std::string input, why;
    } cases[] = {{"open A.TXT\nquit\ninfo\n", "quit"}, {"open A.TXT\nwrite x\n", "the end of input"}};
    for (const auto& c : cases) {
        simulator->ClearRequests();
        const CliResult r = RunCli("shell", c.input);
        EXPECT_EQ(r.code, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, "shell: A.TXT was still open at " + c.why + ": closed\n")) << r.output;
        ASSERT_FALSE(simulator->Requests().empty());
        EXPECT_EQ(simulator->Requests().back()[2], 0x12);
    }
}

// A NUL in a name would cut it short on the line: "KEEP.TXT\0.bak" would
// delete KEEP.TXT. Refused with nothing sent, from the shell and the
// command line alike (a PC path with a NUL too).
TEST_F(Cli, ANameWithANulIsRefusedWithNothingSent) {
    ASSERT_TRUE(simulator->WriteDiskFile("KEEP.TXT", AsBytes("keep")));
    const std::string nul("KEEP.TXT\0.bak", 13);
    std::ofstream(work / "in.txt") << "x";
    const std::string in = (work / "in.txt").string();
    for (const std::string& line :
         {"rm \"" + nul + "\"", "rm " + nul, "open '" + nul + "'", "mkdir " + nul, "cd " + nul, "rmdir " + nul,
          "put " + in + " " + nul, "get " + nul + " x", "get KEEP.TXT " + in + std::string(1, '\0') + "x"}) {
        SCOPED_TRACE(line);
        simulator->ClearRequests();
        const CliResult r = RunCli("shell", line + "\n");
        EXPECT_EQ(r.code, 2) << r.output;
        EXPECT_TRUE(Contains(r.output, "NUL")) << r.output;
        EXPECT_TRUE(simulator->Requests().empty());
    }
    std::vector<uint8_t> kept;
    EXPECT_TRUE(simulator->ReadDiskFile("KEEP.TXT", &kept));
}

// put sends what the PC file holds, to its end, and counts what the module
// acknowledged, chunk by chunk.
TEST_F(Cli, PutStreamsToTheEndAndCountsWhatTheModuleTook) {
    const std::vector<uint8_t> data = Pattern(1500);
    std::ofstream(work / "in.bin", std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 1500);
    simulator->ArmFault({SimFault::kShortWrite, 100, {}, 2, false});
    CliResult r = RunCli("put --retries 0 " + (work / "in.bin").string() + " DATA.BIN");
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_TRUE(Contains(r.output, "put: 612 of 1500 bytes written: the module took 100 of a chunk's 512 bytes; "
                                   "DATA.BIN holds the first 612"))
        << r.output;
    std::vector<uint8_t> onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("DATA.BIN", &onDisk));
    EXPECT_EQ(onDisk.size(), 612u);

    // A file whose size the system does not know in advance (st_size 0).
    r = RunCli("put /proc/version VERSION");
    EXPECT_EQ(r.code, 0) << r.output;
    ASSERT_TRUE(simulator->ReadDiskFile("VERSION", &onDisk));
    EXPECT_FALSE(onDisk.empty());
    EXPECT_EQ(onDisk, AsBytes(Slurp("/proc/version")));

    // A delete first that gets no answer leaves the old file: writing over
    // it would keep its tail, so nothing is written.
    simulator->ArmFault({SimFault::kSilent, 0, {}, 2, false});  // the delete, after the status exchange
    r = RunCli("put --retries 0 " + (work / "in.bin").string() + " VERSION");
    EXPECT_EQ(r.code, 3) << r.output;
    EXPECT_TRUE(Contains(r.output, "put: VERSION could not be deleted first")) << r.output;
    ASSERT_TRUE(simulator->ReadDiskFile("VERSION", &onDisk));
    EXPECT_EQ(onDisk, AsBytes(Slurp("/proc/version")));
}

// Saves in a directory another user can write (sticky, world-writable, as
// /tmp): whatever that user planted, root's save writes through no link,
// replaces the target whole, and keeps a replaced file's mode and owner.
TEST_F(Cli, SavesWriteThroughNoLinkAnotherUserPlanted) {
    const std::vector<uint8_t> data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("A.TXT", data));
    const fs::path shared = work / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const fs::path victim = work / "roots-file";
    const fs::path target = shared / "A.TXT";
    struct Plant {
        const char* what;
        std::function<bool()> plant;  // run as nobody
        mode_t mode;                  // of the saved file
        uid_t owner;
    };
    const std::string v = victim.string(), t = target.string();
    const Plant plants[] = {
        {"the old fixed temporary name as a link",
         [&] { return symlink(v.c_str(), (t + ".tovrel-part").c_str()) == 0; }, 0644, 0},
        {"the target as a link", [&] { return symlink(v.c_str(), t.c_str()) == 0; }, 0644, 0},
        {"the target as a FIFO", [&] { return mkfifo(t.c_str(), 0666) == 0; }, 0644, 0},
        {"the target as nobody's 0600 file",
         [&] {
             const int fd = open(t.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
             return fd >= 0 && write(fd, "old", 3) == 3 && close(fd) == 0;
         },
         0600, 65534},
        {"nothing", [] { return true; }, 0644, 0},
    };
    const mode_t oldMask = umask(022);
    for (const Plant& p : plants) {
        for (const std::string& how : {std::string("get"), std::string("readfile")}) {
            SCOPED_TRACE(std::string(p.what) + ", " + how);
            fs::remove_all(shared);
            fs::create_directories(shared);
            ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
            std::ofstream(victim) << "root's";
            ASSERT_TRUE(AsNobody(p.plant));
            const CliResult r = how == "get" ? RunCli("get A.TXT " + t)
                                             : RunCli("shell", "open A.TXT\nreadfile " + t + "\nclose\n");
            EXPECT_EQ(r.code, 0) << r.output;
            EXPECT_EQ(Slurp(victim), "root's");
            struct stat info {};
            ASSERT_EQ(lstat(t.c_str(), &info), 0);
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(info.st_mode & 07777, p.mode);
            EXPECT_EQ(info.st_uid, p.owner);
            EXPECT_EQ(AsBytes(Slurp(target)), data);
            // Nothing of the client's is left beside it.
            for (const std::string& name : FilesIn(shared))
                EXPECT_TRUE(name == "A.TXT" || name == "A.TXT.tovrel-part") << name;
        }
    }
    umask(oldMask);
}

// Two saves to one path at once: each writes a file of its own, so the
// path ends up holding the whole of one of them, never a mix.
TEST_F(Cli, ConcurrentSavesToOnePathEachLeaveAWholeFile) {
    ModuleSimulator second{SimConfig()};
    std::string error;
    ASSERT_TRUE(second.Start(&error)) << error;
    setenv("TOVREL_COM2", second.SlavePath().c_str(), 1);
    const std::vector<uint8_t> a = Pattern(40000, 1), b = Pattern(40000, 2);
    ASSERT_TRUE(simulator->WriteDiskFile("X.BIN", a));
    ASSERT_TRUE(second.WriteDiskFile("X.BIN", b));
    const fs::path out = work / "x.bin";
    int mixed = 0;
    for (int trial = 0; trial < 40; ++trial) {
        CliProcess first({"get", "X.BIN", out.string()});
        CliProcess other({"--port", "2", "get", "X.BIN", out.string()});
        const std::optional<int> s1 = first.Wait(20000), s2 = other.Wait(20000);
        ASSERT_TRUE(s1 && s2);
        EXPECT_TRUE(WIFEXITED(*s1) && WEXITSTATUS(*s1) == 0) << first.Output();
        EXPECT_TRUE(WIFEXITED(*s2) && WEXITSTATUS(*s2) == 0) << other.Output();
        const std::vector<uint8_t> got = AsBytes(Slurp(out));
        if (got != a && got != b) ++mixed;
        EXPECT_EQ(FilesIn(work), std::vector<std::string>{"x.bin"});
    }
    EXPECT_EQ(mixed, 0);
    unsetenv("TOVREL_COM2");
}

// `tovrel-cli shell | head -1`: the reader goes, the client sees EPIPE (not
// SIGPIPE), closes the disk file, releases its lock and exits 10.
TEST_F(Cli, AClosedOutputEndsTheShellWithItsOwnCode) {
    std::string input = "open A.TXT\n";
    for (int i = 0; i < 100; ++i) input += "info\n";
    const fs::path in = work / "in.txt";
    std::ofstream(in) << input;
    const std::string command = "bash -c '" + std::string(TOVREL_CLI_PATH) + " shell <" + in.string() +
                                " 2>" + (work / "err.txt").string() + " | head -1 >/dev/null; exit ${PIPESTATUS[0]}'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 10) << Slurp(work / "err.txt");
    EXPECT_TRUE(Contains(Slurp(work / "err.txt"), "shell: standard output is closed; stopped")) << Slurp(work / "err.txt");
    EXPECT_EQ(simulator->Requests().back()[2], 0x12);
    EXPECT_TRUE(fs::is_empty(locks));
}

// A hostile module on the line: it claims a 4 GiB file, or answers reads
// with fewer bytes than asked in the middle of a file. Nothing is saved
// over the PC file and the client exits 7, in bounded memory.
TEST_F(Cli, AHostileModulesClaimsAndShortAnswersSaveNothing) {
    auto answer = [](uint8_t command, const Bytes& payload) {
        Bytes out = {0x53, 0x3A, command, 0, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
        for (const uint8_t byte : payload) out.push_back(byte);  // GCC 12 sees bounds trouble in insert() of none
        return out;
    };
    auto opened = [&](uint32_t size) {
        return answer(0x10, {1, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                             static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)});
    };
    const Bytes whole = answer(0x30, Bytes(512, 0x41)), half = answer(0x30, Bytes(256, 0x42));
    const Bytes closed = answer(0x12, {}), none = answer(0x30, {});
    const ScriptStep inStep = {6, answer(0x00, Bytes(14, 0))};  // the opening's status exchange
    const std::string saved = (work / "saved.bin").string();
    const struct {
        std::string args, input;
        std::vector<ScriptStep> steps;
        std::string message;
    } cases[] = {
        {"get X.BIN " + saved, "", {inStep, {11, opened(0xFFFFFFFF)}, {10, whole}, {10, whole}, {10, half}, {10, none}, {6, closed}},
         "get: 1280 of 4294967295 bytes read: the file ended early; nothing saved to "},
        {"shell", "open X.BIN\nreadfile " + saved + "\n", {inStep, {11, opened(2000)}, {10, whole}, {10, half}, {10, half}, {6, closed}},
         "readfile: 768 bytes read: the module answered short in the middle of the file; nothing saved to "},
        {"shell", "open X.BIN\nread 2000\n", {inStep, {11, opened(2000)}, {10, half}, {10, half}, {6, closed}},
         "read: 256 bytes read: the module answered short in the middle of the file; nothing shown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " " + c.input);
        PtyPeer pty;
        pty.ExportAs(1);
        ScriptedPeer peer(&pty);
        peer.Play(c.steps);
        std::ofstream(saved) << "precious";
        const CliResult r = RunCli(c.args, c.input);
        const std::vector<Bytes> received = peer.Finish();
        EXPECT_EQ(r.code, 7) << r.output;
        EXPECT_TRUE(Contains(r.output, c.message)) << r.output;
        EXPECT_EQ(Slurp(saved), "precious");
        EXPECT_EQ(FilesIn(work), std::vector<std::string>{"saved.bin"});
        ASSERT_EQ(received.size(), c.steps.size());
        EXPECT_EQ(received.back()[2], 0x12) << "the disk file was left open";
    }
}

// A refusal says what the module answered and what to do about it: a file
// left open (as a killed client leaves it) is named with `tovrel-cli close`,
// status codes by name; a save into a missing folder names the file asked
// for and the folder, not the temporary name tried; an empty name is bad
// input, with nothing sent.
TEST_F(Cli, RefusalsSayWhatHappenedAndWhatToDo) {
    ASSERT_TRUE(simulator->WriteDiskFile("A.TXT", AsBytes("abc")));
    const std::string missing = (work / "missing" / "a.txt").string();
    std::ofstream(work / "in.txt") << "x";
    const std::string in = (work / "in.txt").string();
    const struct {
        std::string args, input;
        int code;
        std::string message;
    } rows[] = {
        // A one-shot open leaves its file open, as a killed client does.
        {"open B.TXT", "", 0, ""},
        {"get A.TXT " + in, "", 4, "get A.TXT: refused: the module still has a file open (handle 1, 0 bytes); "
                                   "close it with `tovrel-cli close`"},
        {"put " + in + " C.TXT", "", 4, "close it with `tovrel-cli close`"},
        {"shell", "open A.TXT\n", 4, "open A.TXT: refused: the module still has a file open (handle 1, 0 bytes); "
                                     "close it with `close`"},
        {"close", "", 0, ""},
        {"rmdir NOSUCH", "", 4, "rmdir NOSUCH: refused by the module (status 1: not found)"},
        {"get A.TXT " + missing, "", 6, "get: " + missing + ": cannot be saved: the folder " + (work / "missing").string() +
                                           " does not exist; nothing read"},
        {"get --resume A.TXT " + missing, "", 6, "the folder " + (work / "missing").string() + " does not exist"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args + " " + row.input);
        const CliResult r = RunCli(row.args, row.input);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_TRUE(Contains(r.output, row.message)) << r.output;
        EXPECT_FALSE(Contains(r.output, ".tovrel-")) << r.output;
    }
    for (const std::string& line : {"put " + in + " ''", std::string("get '' x"), std::string("rm ''"),
                                    std::string("mkdir ''"), std::string("cd ''"), std::string("rmdir ''"),
                                    std::string("open ''")}) {
        SCOPED_TRACE(line);
        simulator->ClearRequests();
        const CliResult r = RunCli("shell", line + "\n");
        EXPECT_EQ(r.code, 2) << r.output;
        EXPECT_TRUE(Contains(r.output, "an empty name")) << r.output;
        EXPECT_TRUE(simulator->Requests().empty());
    }
}

// A get whose file came whole but whose close failed has saved it: exit 0
// with a warning that names `tovrel-cli close`. A seek that fails inside a
// transfer stops it short: exit 7.
TEST_F(Cli, AFailedCloseOrSeekInsideATransferExitsAsDocumented) {
    const std::vector<uint8_t> data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("F.BIN", data));
    const std::string saved = (work / "saved.bin").string(), in = (work / "in.bin").string();
    WriteFile(in, data);
    // Which request of the command's (from 1) is the last of this kind, counted in a run without faults.
    auto lastOf = [&](const std::string& args, uint8_t command) {
        simulator->ClearRequests();
        EXPECT_EQ(RunCli(args).code, 0);
        const auto requests = simulator->Requests();
        uint32_t at = 0;
        for (size_t i = 0; i < requests.size(); ++i)
            if (requests[i][2] == command) at = static_cast<uint32_t>(i + 1);
        return at;
    };
    const struct {
        std::string args;
        uint8_t command;  // the request faulted
        SimFault::Kind kind;
        int code;
        std::string message;
    } rows[] = {
        {"get --verify --retries 0 F.BIN " + saved, 0x40, SimFault::kStatus, 7,
         "get: seek to byte 0 to compare: refused by the module (status 8: bad position); nothing saved to " + saved},
        {"put --verify --retries 0 " + in + " G.BIN", 0x40, SimFault::kStatus, 7,
         "put: seek to byte 0 to compare: refused by the module (status 8: bad position); G.BIN holds all 3000 bytes, "
         "not verified"},
        {"get --retries 0 F.BIN " + saved, 0x12, SimFault::kSilent, 0,
         "get: warning: " + saved + " is saved whole, but closing F.BIN failed: no answer from the module; the module "
         "may still have it open: close it with `tovrel-cli close`"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        fs::remove(saved);
        const uint32_t nth = lastOf(row.args, row.command);
        ASSERT_GT(nth, 0u);
        fs::remove(saved);
        simulator->ArmFault({row.kind, 8, {}, nth, false});
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_TRUE(Contains(r.output, row.message)) << r.output;
        EXPECT_EQ(fs::exists(saved), row.code == 0);
        if (row.code == 0) {
            EXPECT_EQ(AsBytes(Slurp(saved)), data);
        }
        (void)RunCli("close");
    }
}
