// Ctrl+C during a transfer, as a real SIGINT to the running client, while
// the simulated module moves bytes at 9600 bit/s: one 512-byte chunk takes
// about 0.55 s there, a 20000-byte file about 22 s.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/Timing.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOpen = 0x10, kClose = 0x12, kWrite = 0x20, kRead = 0x30, kStatus = 0x00;
constexpr size_t kFileSize = 20000;
// One exchange takes about 0.55 s; the rest of the transfer would take 20 s.
constexpr long kStopWithinMs = 2500;

// The count in the client's "interrupted: N of M bytes ..." line, or -1.
long ReportedCount(const std::string& output, const std::string& verb) {
    std::smatch m;
    const std::regex line("interrupted: (\\d+) of " + std::to_string(kFileSize) + " bytes " + verb);
    return std::regex_search(output, m, line) ? std::stol(m[1]) : -1;
}

SimConfig Paced() {
    SimConfig config;
    config.pace = true;
    return config;
}

class CtrlC : public CliFixture {
protected:
    CtrlC() : CliFixture(Paced()) {}
    void SetUp() override {
        CliFixture::SetUp();
        fs::create_directories(work / "pc");
    }

    std::vector<Bytes> Requests(uint8_t command) const {
        std::vector<Bytes> out;
        for (const Bytes& r : simulator->Requests())
            if (r.size() >= 6 && r[2] == command) out.push_back(r);
        return out;
    }
    uint8_t LastCommand() const {
        const auto all = simulator->Requests();
        return all.empty() ? 0xFF : all.back()[2];
    }

    // Sends `signal` once `chunks` requests of the command have reached the
    // module, while the next is on the line. Returns how many had arrived.
    size_t InterruptAfter(CliProcess& cli, uint8_t command, size_t chunks, int signal = SIGINT) {
        const auto since = Clock::now();
        while (Requests(command).size() < chunks && ElapsedMs(since) < 15000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_GE(Requests(command).size(), chunks) << "the transfer never got going";
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const size_t arrived = Requests(command).size();
        cli.Signal(signal);
        return arrived;
    }

    // Waits for the client to end after SIGINT: exit 7 within about an
    // exchange. Returns what it wrote.
    std::string ExpectStoppedSoon(CliProcess& cli) {
        const auto signalled = Clock::now();
        const std::optional<int> status = cli.Wait(10000);
        EXPECT_TRUE(status.has_value()) << "still running after SIGINT";
        EXPECT_LT(ElapsedMs(signalled), kStopWithinMs);
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 7) << cli.Output();
        return cli.Output();
    }

    // The write chunks the module received, each whole, in the file's order.
    void ExpectWholeChunksOf(const Bytes& data, size_t written) {
        const std::vector<Bytes> writes = Requests(kWrite);
        EXPECT_EQ(writes.size() * 512, written);
        for (size_t i = 0; i < writes.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(writes[i].size(), 6u + 512);
            EXPECT_EQ(writes[i][4] | writes[i][5] << 8, 512);
            EXPECT_TRUE(std::equal(writes[i].begin() + 6, writes[i].end(), data.begin() + static_cast<long>(i * 512)));
        }
    }
};

}  // namespace

TEST_F(CtrlC, StopsAPutAfterTheChunkOnTheLineAndClosesTheFile) {
    const Bytes data = Pattern(kFileSize);
    const fs::path local = work / "big.bin";
    std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), kFileSize);
    // Errors on a terminal: the progress bar shares the chunks with the stop.
    CliProcess cli({"put", local.string(), "BIG.BIN"}, true);
    ASSERT_TRUE(cli.Started());
    const size_t arrived = InterruptAfter(cli, kWrite, 3);
    const std::string output = ExpectStoppedSoon(cli);
    EXPECT_NE(output.find("\rput BIG.BIN ["), std::string::npos) << output;
    const long written = ReportedCount(output, "written; BIG.BIN holds the first ");
    ASSERT_GT(written, 0) << output;
    const size_t chunks = Requests(kWrite).size();
    EXPECT_GE(chunks, arrived);
    EXPECT_LE(chunks, arrived + 1) << "went on past the chunk on the line";
    ExpectWholeChunksOf(data, static_cast<size_t>(written));
    EXPECT_EQ(LastCommand(), kClose);

    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("BIG.BIN", &onDisk));
    EXPECT_EQ(onDisk, Bytes(data.begin(), data.begin() + written));
}

TEST_F(CtrlC, StopsAGetWithoutTouchingThePcFile) {
    const Bytes data = Pattern(kFileSize);
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "over an existing PC file" : "no PC file yet");
        simulator->ClearRequests();
        const fs::path local = work / "pc" / "big.bin";
        if (existing) std::ofstream(local) << "precious";
        CliProcess cli({"get", "BIG.BIN", local.string()});
        ASSERT_TRUE(cli.Started());
        const size_t arrived = InterruptAfter(cli, kRead, 3);
        const std::string output = ExpectStoppedSoon(cli);
        const long read = ReportedCount(output, "read; nothing saved to ");
        EXPECT_EQ(read, static_cast<long>(Requests(kRead).size() * 512)) << output;
        EXPECT_LE(Requests(kRead).size(), arrived + 1);
        EXPECT_EQ(LastCommand(), kClose);
        if (existing) {
            EXPECT_EQ(Slurp(local), "precious");
            EXPECT_EQ(std::distance(fs::directory_iterator(work / "pc"), fs::directory_iterator()), 1);
        } else {
            EXPECT_TRUE(fs::is_empty(work / "pc"));
        }
    }
}

TEST_F(CtrlC, StopsAShellTransferAndTheShellGoesOnUntilCtrlCAtItsPrompt) {
    const Bytes data = Pattern(kFileSize);
    ASSERT_TRUE(simulator->WriteDiskFile("OLD.BIN", data));
    const fs::path local = work / "big.bin";
    std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), kFileSize);

    CliProcess cli({"shell"});
    ASSERT_TRUE(cli.Started());
    cli.Input("open OLD.BIN\nreadfile " + (work / "pc" / "old.bin").string() + "\n");
    InterruptAfter(cli, kRead, 3);
    cli.Input("close\nopen NEW.BIN\nwritefile " + local.string() + "\n");
    InterruptAfter(cli, kWrite, 3);
    cli.Input("close\ninfo\n");
    const auto since = Clock::now();
    while (LastCommand() != kStatus && ElapsedMs(since) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(LastCommand(), kStatus) << cli.Output();

    // At the prompt Ctrl+C ends the shell, as it would without any transfer.
    cli.Signal(SIGINT);
    const std::optional<int> status = cli.Wait(3000);
    ASSERT_TRUE(status.has_value()) << "Ctrl+C at the prompt was swallowed";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << cli.Output();

    const std::string output = cli.Output();
    EXPECT_NE(output.find("readfile: interrupted: "), std::string::npos) << output;
    EXPECT_TRUE(fs::is_empty(work / "pc"));
    const long written = ReportedCount(output, "written at the file pointer");
    ASSERT_GT(written, 0) << output;
    ExpectWholeChunksOf(data, static_cast<size_t>(written));
    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("NEW.BIN", &onDisk));
    EXPECT_EQ(onDisk, Bytes(data.begin(), data.begin() + written));

    // Nothing went out after either stop but what the user typed next.
    std::vector<uint8_t> commands, expected{kStatus, kOpen};  // the opening's status exchange first
    for (const Bytes& r : simulator->Requests()) commands.push_back(r[2]);
    expected.insert(expected.end(), Requests(kRead).size(), kRead);
    expected.insert(expected.end(), {kClose, kOpen});
    expected.insert(expected.end(), Requests(kWrite).size(), kWrite);
    expected.insert(expected.end(), {kClose, kStatus});
    EXPECT_EQ(commands, expected);
}

// Every other signal that ends the client and can run code stops a put or
// get as Ctrl+C does: after the chunk on the line, the disk file closed,
// the port's lock and the temporary file of the save removed, and then the
// client ends on that signal.
TEST_F(CtrlC, EveryEndingSignalClosesTheDiskFileAndRemovesTheLockAndTheHalfMadeFile) {
    const Bytes data = Pattern(kFileSize);
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    const fs::path local = work / "big.bin";
    std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), kFileSize);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would dump one
    const struct {
        std::vector<std::string> args;
        uint8_t command;
        int signal;
    } rows[] = {
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGTERM},
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGHUP},
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGQUIT},
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGALRM},
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGUSR1},
        {{"get", "BIG.BIN", (work / "pc" / "big.bin").string()}, kRead, SIGUSR2},
        {{"put", local.string(), "NEW.BIN"}, kWrite, SIGTERM},
        {{"put", local.string(), "NEW.BIN"}, kWrite, SIGHUP},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + strsignal(row.signal));
        simulator->ClearRequests();
        CliProcess cli(row.args);
        ASSERT_TRUE(cli.Started());
        const size_t arrived = InterruptAfter(cli, row.command, 2, row.signal);
        if (row.command == kRead) {
            EXPECT_FALSE(fs::is_empty(work / "pc")) << "no temporary file while saving: " << cli.Output();
        }
        const auto signalled = Clock::now();
        const std::optional<int> status = cli.Wait(5000);
        ASSERT_TRUE(status.has_value());
        EXPECT_LT(ElapsedMs(signalled), kStopWithinMs);
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == row.signal) << cli.Output();
        EXPECT_LE(Requests(row.command).size(), arrived + 1) << "went on past the chunk on the line";
        EXPECT_EQ(LastCommand(), kClose);
        EXPECT_NE(cli.Output().find(": interrupted: "), std::string::npos) << cli.Output();
        EXPECT_TRUE(fs::is_empty(work / "pc"));
        EXPECT_TRUE(fs::is_empty(locks));
    }
}

// A get ended by TERM leaves the module as it found it: the next commands
// work at once. One killed outright (SIGKILL) leaves its file open on the
// module: the next get says so and names `tovrel-cli close`, which closes it.
TEST_F(CtrlC, AKilledGetLeavesNothingThatTheNextCommandsCannotSee) {
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", Pattern(kFileSize)));
    ASSERT_TRUE(simulator->WriteDiskFile("SMALL.BIN", Pattern(600)));
    const std::string small = (work / "small.bin").string();
    const struct {
        int signal;
        std::vector<std::pair<std::string, int>> next;  // commands and their exit status
        std::string says;                               // the first one's message
    } rows[] = {
        {SIGTERM, {{"info", 0}, {"get SMALL.BIN " + small, 0}, {"put " + small + " COPY.BIN", 0}}, "file: none"},
        {SIGKILL, {{"get SMALL.BIN " + small, 4}, {"close", 0}, {"get SMALL.BIN " + small, 0}},
         "get SMALL.BIN: refused: the module still has a file open (handle "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(strsignal(row.signal));
        simulator->ClearRequests();  // the chunks counted are this row's
        CliProcess cli({"get", "BIG.BIN", (work / "pc" / "big.bin").string()});
        ASSERT_TRUE(cli.Started());
        InterruptAfter(cli, kRead, 2, row.signal);
        const std::optional<int> status = cli.Wait(5000);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == row.signal) << cli.Output();
        for (size_t i = 0; i < row.next.size(); ++i) {
            const CliResult r = RunCli(row.next[i].first);
            EXPECT_EQ(r.code, row.next[i].second) << row.next[i].first << ": " << r.output;
            if (i == 0) {
                EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
            }
        }
        const Bytes got = [&] { const std::string text = Slurp(small); return Bytes(text.begin(), text.end()); }();
        EXPECT_EQ(got, Pattern(600));
        fs::remove(small);
    }
}

// A signal that ends the shell at its prompt with a disk file open: the
// file is closed first, then the shell ends on the signal.
TEST_F(CtrlC, TheShellClosesAFileLeftOpenWhenASignalEndsIt) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would dump one
    const struct {
        int signal;
        const char* name;
    } signals[] = {{SIGINT, "INT"},   {SIGTERM, "TERM"}, {SIGHUP, "HUP"},   {SIGQUIT, "QUIT"},
                   {SIGALRM, "ALRM"}, {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"}};
    for (const auto& s : signals) {
        SCOPED_TRACE(s.name);
        simulator->ClearRequests();
        CliProcess cli({"shell"});
        ASSERT_TRUE(cli.Started());
        cli.Input("open A.TXT\ninfo\n");
        const auto since = Clock::now();
        while (LastCommand() != kStatus && ElapsedMs(since) < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cli.Signal(s.signal);
        const std::optional<int> status = cli.Wait(5000);
        ASSERT_TRUE(status.has_value()) << "the signal was swallowed";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == s.signal) << cli.Output();
        EXPECT_EQ(LastCommand(), kClose);
        EXPECT_NE(cli.Output().find(std::string("shell: A.TXT was still open at signal ") + s.name + ": closed"),
                  std::string::npos)
            << cli.Output();
        EXPECT_TRUE(fs::is_empty(locks));
    }
}

// Stopped by Ctrl+C or TERM, a transfer goes on
// with --resume to a byte-identical file: put from what the disk file
// holds, get from the partial file the stopped get --resume kept.
TEST_F(CtrlC, AStoppedTransferResumesToAByteIdenticalFile) {
    const Bytes data = Pattern(4000);
    const std::string local = (work / "big.bin").string(), saved = (work / "pc" / "big.bin").string();
    std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
    const struct {
        std::vector<std::string> first;
        uint8_t command;
        int signal;
        std::string resume;
    } rows[] = {
        {{"put", local, "BIG.BIN"}, kWrite, SIGINT, "put --resume --verify " + local + " BIG.BIN"},
        {{"get", "--resume", "BIG.BIN", saved}, kRead, SIGINT, "get --resume --verify BIG.BIN " + saved},
        {{"get", "--resume", "BIG.BIN", saved}, kRead, SIGTERM, "get --resume BIG.BIN " + saved},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.resume + " after " + strsignal(row.signal));
        ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", row.command == kWrite ? Bytes() : data));
        simulator->ClearRequests();
        CliProcess cli(row.first);
        ASSERT_TRUE(cli.Started());
        InterruptAfter(cli, row.command, 3, row.signal);
        const std::optional<int> status = cli.Wait(10000);
        ASSERT_TRUE(status.has_value()) << "still running after the signal";
        if (row.signal == SIGINT) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 7) << cli.Output();
        } else {
            EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == row.signal) << cli.Output();
        }
        EXPECT_EQ(LastCommand(), kClose);
        EXPECT_TRUE(fs::is_empty(locks));
        Bytes kept;
        if (row.command == kWrite) {
            ASSERT_TRUE(simulator->ReadDiskFile("BIG.BIN", &kept));
        } else {
            EXPECT_FALSE(fs::exists(saved));
            const std::string partial = Slurp(saved + ".tovrel-resume");
            kept.assign(partial.begin(), partial.end());
        }
        ASSERT_GE(kept.size(), 2u * 512);
        ASSERT_LT(kept.size(), data.size());
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), data.begin()));

        const CliResult r = RunCli(row.resume);
        EXPECT_EQ(r.code, 0) << r.output;
        Bytes result;
        if (row.command == kWrite) {
            ASSERT_TRUE(simulator->ReadDiskFile("BIG.BIN", &result));
        } else {
            const std::string got = Slurp(saved);
            result.assign(got.begin(), got.end());
            EXPECT_FALSE(fs::exists(saved + ".tovrel-resume"));
        }
        EXPECT_EQ(result, data);
        fs::remove(saved);
    }
}
