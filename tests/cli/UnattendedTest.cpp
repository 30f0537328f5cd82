// Answers that come too late never taken for the next request's; put and
// get left to run by themselves: a failed chunk retried in place, a byte
// damaged on the line costing a chunk, and --fast's faster rate for the
// transfer with the module put back at its own rate and clock, on Ctrl+C
// and the ending signals too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/Timing.h"

namespace fs = std::filesystem;

namespace {

class Unattended : public CliFixture {
protected:
    explicit Unattended(const SimConfig& config = SimConfig()) : CliFixture(config) {}
    void WriteIn(const std::vector<uint8_t>& data) { WriteFile(work / "in.bin", data); }
    // The module's clock as `info` shows it, in seconds since 2000 (UTC
    // arithmetic on its fields), or -1.
    long ModuleClock() {
        const CliResult r = RunCli("info");
        const size_t at = r.output.find("clock: ");
        std::tm t{};
        if (r.code != 0 || at == std::string::npos ||
            sscanf(r.output.c_str() + at, "clock: %d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                   &t.tm_min, &t.tm_sec) != 6)
            return -1;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        return static_cast<long>(timegm(&t) - 946684800);
    }
};

class UnattendedPaced : public Unattended {
protected:
    static SimConfig Paced() {
        SimConfig config;
        config.pace = true;
        return config;
    }
    UnattendedPaced() : Unattended(Paced()) {}
};

}  // namespace

// A module that stalls past the wait answers all the same, later: the
// shell's next command must not take that answer for its own.
TEST_F(Unattended, AnAnswerThatComesTooLateIsNotTheNextCommands) {
    const std::vector<uint8_t> data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("F.BIN", data));
    ASSERT_TRUE(simulator->WriteDiskFile("A.TXT", {'a'}));
    const std::string out = (work / "out.bin").string();
    // The shell's requests: 1 the opening's status exchange, 2 the first command's.
    const struct {
        std::string input;
        uint32_t nth;
        std::string says;
    } rows[] = {
        {"open F.BIN\nread 512\nreadfile " + out + "\n", 3, "readfile: 2488 bytes to " + out},
        {"rm A.TXT\nrm NOPE.TXT\n", 2, "rm NOPE.TXT: refused by the module (status 1: not found)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        simulator->ArmFault({SimFault::kDelay, 2500, {}, row.nth, false});
        const CliResult r = RunCli("shell", row.input);
        EXPECT_NE(r.code, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, "no answer from the module")) << r.output;
        EXPECT_TRUE(Contains(r.output, row.says)) << r.output;
    }
    EXPECT_EQ(AsBytes(Slurp(out)), std::vector<uint8_t>(data.begin() + 512, data.end()));
}

// Each fault meets the second data chunk of put --verify and of get
// --verify: the chunk goes again, and the file ends whole. Out of retries,
// the transfer stops with exit 7 and says how many it made.
TEST_F(Unattended, RetriesCarryATransferOverEachFaultInPlace) {
    const std::vector<uint8_t> data = Pattern(5000);
    WriteIn(data);
    const std::string in = (work / "in.bin").string(), out = (work / "out.bin").string();
    // put's requests: 1 the opening's status exchange, 2 delete, 3 open, 4 on
    // the chunks; get's: 1 status, 2 open, 3 on.
    const struct {
        SimFault fault;
        bool put;
    } rows[] = {
        {{SimFault::kSilent, 0, {}, 2, false}, true},  // the delete
        {{SimFault::kSilent, 0, {}, 3, false}, true},  // the open
        {{SimFault::kSilent, 0, {}, 5, false}, true},
        {{SimFault::kDelay, 2500, {}, 5, false}, true},  // past even the full wait
        {{SimFault::kStatus, 11, {}, 5, false}, true},
        {{SimFault::kShortWrite, 100, {}, 2, false}, true},
        {{SimFault::kCorrupt, 7, {}, 5, false}, true},   // on the disk: written again
        {{SimFault::kCorrupt, 7, {}, 17, false}, true},  // in the read back
        {{SimFault::kSilent, 0, {}, 2, false}, false},  // the open
        {{SimFault::kSilent, 0, {}, 4, false}, false},
        {{SimFault::kTruncatePayload, 9, {}, 4, false}, false},
        {{SimFault::kOversizeLength, 600, {}, 4, false}, false},
        {{SimFault::kShortRead, 100, {}, 2, false}, false},
        {{SimFault::kCorrupt, 7, {}, 4, false}, false},   // in the first read
        {{SimFault::kCorrupt, 7, {}, 16, false}, false},  // in the second
    };
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(SimFaultKindName(row.fault.kind)) + "@" + std::to_string(row.fault.nth));
        simulator->ClearFaults();
        simulator->ArmFault(row.fault);
        const CliResult r = RunCli(row.put ? "put --verify " + in + " DATA.BIN" : "get --verify BIG.BIN " + out);
        EXPECT_EQ(r.code, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, ", verified, after 1 retr") || Contains(r.output, ", verified, after 2 retr"))
            << r.output;
        std::vector<uint8_t> result;
        if (row.put) {
            ASSERT_TRUE(simulator->ReadDiskFile("DATA.BIN", &result));
        } else {
            result = AsBytes(Slurp(out));
        }
        EXPECT_EQ(result, data);
        fs::remove(out);
    }
    simulator->ClearFaults();
    simulator->ArmFault({SimFault::kShortWrite, 100, {}, 2, true});
    const CliResult r = RunCli("put --retries 2 " + in + " DATA.BIN");
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_TRUE(Contains(r.output, "the module took 100 of a chunk's 512 bytes, after 2 retries")) << r.output;
}

// --fast moves the module to the faster rate for the transfer and back to
// its own, its clock carried forward; a faster rate that does not answer,
// or a rate change whose answer is lost, puts it back and sends nothing.
TEST_F(Unattended, FastMovesTheModuleForTheTransferAndPutsItBack) {
    const std::vector<uint8_t> data = Pattern(20000);
    WriteIn(data);
    const std::string in = (work / "in.bin").string(), out = (work / "out.bin").string();
    ASSERT_EQ(RunCli("set --clock '20-01-02 03:04:05'").code, 0);
    const auto start = Clock::now();
    const long before = ModuleClock();
    ASSERT_GT(before, 0);
    // put --fast's requests: 1 the status that reads rate and clock, 2 the
    // rate change, 3 the status that checks the new rate.
    const struct {
        std::string args;
        SimFault::Kind fault;  // on request `nth`
        uint32_t value, nth;
        int code;
        std::string says;
    } rows[] = {
        {"put --fast " + in + " DATA.BIN", SimFault::kNone, 0, 0, 0,
         "put: --fast: the module is back at 9600 bit/s, its clock carried forward"},
        {"get --verify --fast 57600 DATA.BIN " + out, SimFault::kNone, 0, 0, 0, "get: --fast: the module is back at 9600 bit/s"},
        {"put --fast " + in + " X.BIN", SimFault::kSilent, 0, 3, 3,
         "put: --fast: 115200 bit/s does not work on this line; nothing transferred"},
        {"put --fast " + in + " X.BIN", SimFault::kSilent, 0, 2, 3, "the module is back at 9600 bit/s"},
        {"put --fast " + in + " X.BIN", SimFault::kDelay, 2500, 2, 3, "the module is back at 9600 bit/s"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args + " " + SimFaultKindName(row.fault));
        simulator->ClearFaults();
        if (row.fault != SimFault::kNone) simulator->ArmFault({row.fault, row.value, {}, row.nth, false});
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_TRUE(Contains(r.output, row.says)) << r.output;
        EXPECT_EQ(simulator->Rate(), 9600u);
    }
    std::vector<uint8_t> onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("DATA.BIN", &onDisk));
    EXPECT_EQ(onDisk, data);
    EXPECT_EQ(AsBytes(Slurp(out)), data);
    EXPECT_FALSE(simulator->ReadDiskFile("X.BIN", &onDisk));
    // Kept: each change sends the clock carried forward by the time passed.
    const long passed = ElapsedMs(start) / 1000;
    const long after = ModuleClock();
    EXPECT_GE(after, before + passed - 2);
    EXPECT_LE(after, before + passed + 3);
}

// Ctrl+C and the ending signals stop a --fast transfer between chunks, and
// the module goes back to its own rate before the client ends.
TEST_F(UnattendedPaced, ASignalDuringAFastTransferPutsTheModuleBackFirst) {
    WriteIn(Pattern(60000));
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        CliProcess cli({"put", "--fast", (work / "in.bin").string(), "BIG.BIN"});
        ASSERT_TRUE(cli.Started());
        const auto since = Clock::now();
        size_t chunks = 0;
        while (chunks < 3 && ElapsedMs(since) < 15000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            chunks = 0;
            for (const auto& request : simulator->Requests()) chunks += request[2] == 0x20;
        }
        ASSERT_EQ(simulator->Rate(), 115200u) << cli.Output();
        cli.Signal(signal);
        const std::optional<int> status = cli.Wait(10000);
        ASSERT_TRUE(status.has_value());
        if (signal == SIGINT) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 7) << cli.Output();
        } else {
            EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << cli.Output();
        }
        EXPECT_TRUE(Contains(cli.Output(), "put: --fast: the module is back at 9600 bit/s")) << cli.Output();
        EXPECT_EQ(simulator->Rate(), 9600u);
        simulator->ClearRequests();
    }
    EXPECT_EQ(RunCli("info").code, 0);
}
