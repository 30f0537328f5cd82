// get and put with --verify and --resume, as a user runs them against the
// simulated module: silent damage caught and named, transfers cut short
// resumed to identical files, partial files continued only for the disk
// file they came from, and get reading to the file's end whatever its open
// claimed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"

namespace fs = std::filesystem;

namespace {

class VerifyResume : public CliFixture {};

}  // namespace

namespace {

SimFault Corrupt(uint32_t byte, uint32_t nth) { return {SimFault::kCorrupt, byte, {}, nth, false}; }


}  // namespace

// The simulator's corrupt fault damages one bit and nothing on the line
// shows it: a plain put or get passes it on. With --verify both catch it,
// name the first byte that differs and exit 11, and get saves nothing.
TEST_F(VerifyResume, VerifyCatchesSilentCorruptionAndNamesTheFirstDifferingByte) {
    const std::vector<uint8_t> data = Pattern(3000);
    const std::string in = (work / "in.bin").string(), saved = (work / "saved.bin").string();
    WriteFile(in, data);
    const std::string put = "put --verify --retries 0 " + in + " DATA.BIN",
                      get = "get --verify --retries 0 BIG.BIN " + saved;
    // put's requests: 1 the opening's status exchange, 2 delete, 3 open, 4-9
    // six write chunks, 10 seek, 11-17 the reads back. get's: 1 status, 2
    // open, 3-8 the first read, 9 the read that finds its end, 10 seek,
    // 11-16 the second.
    const struct {
        std::string args, input;
        SimFault fault;
        int code;
        long mismatch;  // the byte the message names; -1 none
        long damaged;   // the byte that differs in the result (the disk file for put); -1 none
    } rows[] = {
        {"put " + in + " DATA.BIN", "", Corrupt(100, 6), 0, -1, 1124},
        {put, "", Corrupt(100, 6), 11, 1124, 1124},
        {put, "", Corrupt(1000, 9), 11, 2999, 2999},  // past the last chunk's end: its last byte
        {put, "", Corrupt(7, 13), 11, 1031, -1},      // the read back damaged, not the disk file
        {"shell", put + "\n", Corrupt(100, 6), 11, 1124, 1124},
        {put, "", SimFault{}, 0, -1, -1},
        {"get BIG.BIN " + saved, "", Corrupt(5, 5), 0, -1, 1029},
        {get, "", Corrupt(5, 5), 11, 1029, -1},
        {get, "", Corrupt(0, 12), 11, 512, -1},
        {"shell", "get --resume --verify --retries 0 BIG.BIN " + saved + "\n", Corrupt(0, 12), 11, 512, -1},
        {get, "", SimFault{}, 0, -1, -1},
    };
    ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", data));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args + " " + row.input);
        simulator->ClearFaults();
        if (row.fault.kind != SimFault::kNone) simulator->ArmFault(row.fault);
        std::ofstream(saved) << "precious";
        const CliResult r = RunCli(row.args, row.input);
        EXPECT_EQ(r.code, row.code) << r.output;
        if (row.mismatch >= 0) {
            EXPECT_TRUE(Contains(r.output, "verify mismatch at byte " + std::to_string(row.mismatch) + " (of 3000): "))
                << r.output;
        }
        std::vector<uint8_t> expected = data, onDisk;
        if (row.damaged >= 0) expected[static_cast<size_t>(row.damaged)] ^= 0x01;
        if (Contains(row.args + row.input, "put ")) {
            ASSERT_TRUE(simulator->ReadDiskFile("DATA.BIN", &onDisk));
            EXPECT_EQ(onDisk, expected);
        } else if (row.code == 0) {
            EXPECT_EQ(AsBytes(Slurp(saved)), expected);
        } else {
            EXPECT_EQ(Slurp(saved), "precious");
        }
        EXPECT_EQ(FilesIn(work), (std::vector<std::string>{"in.bin", "saved.bin"}));
    }
}

// A transfer cut short by a failed exchange or a lost port goes on with
// --resume from what the disk file, or the partial file beside the PC file,
// holds, to a byte-identical result.
TEST_F(VerifyResume, AnInterruptedTransferResumesToAByteIdenticalFile) {
    const std::vector<uint8_t> data = Pattern(5000);
    const fs::path disk = work / "disk", pc = work / "pc";
    fs::create_directories(pc);
    Replug(disk);
    const std::string in = (work / "in.bin").string(), out = (pc / "out.bin").string();
    WriteFile(in, data);
    const std::string partial = out + ".tovrel-resume";
    // put's requests: 1 the opening's status exchange, 2 delete, 3 open,
    // then write chunks; get's: 1 status, 2 open, then read chunks.
    const struct {
        std::string first, resume;
        SimFault fault;
        int code;
    } rows[] = {
        {"put --retries 0 " + in + " BIG.BIN", "put --resume " + in + " BIG.BIN", {SimFault::kSilent, 0, {}, 6, false}, 7},
        {"put --retries 0 " + in + " BIG.BIN", "put --resume --verify " + in + " BIG.BIN", {SimFault::kStatus, 5, {}, 7, false}, 7},
        {"put --retries 0 " + in + " BIG.BIN", "put --resume --verify " + in + " BIG.BIN", {SimFault::kShortWrite, 100, {}, 2, false}, 7},
        {"put --retries 0 " + in + " BIG.BIN", "put --resume " + in + " BIG.BIN", {SimFault::kHangUp, 0, {}, 8, false}, 9},
        {"get --retries 0 --resume BIG.BIN " + out, "get --resume BIG.BIN " + out, {SimFault::kSilent, 0, {}, 5, false}, 7},
        {"get --retries 0 --resume BIG.BIN " + out, "get --resume --verify BIG.BIN " + out, {SimFault::kTruncatePayload, 10, {}, 4, false}, 7},
        {"get --retries 0 --resume BIG.BIN " + out, "get --verify --resume BIG.BIN " + out, {SimFault::kHangUp, 0, {}, 6, false}, 9},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const bool put = row.first.rfind("put", 0) == 0;
        fs::remove(out);
        ASSERT_TRUE(simulator->WriteDiskFile("BIG.BIN", put ? std::vector<uint8_t>() : data));
        simulator->ArmFault(row.fault);
        CliResult r = RunCli(row.first);
        EXPECT_EQ(r.code, row.code) << r.output;
        if (row.fault.kind == SimFault::kHangUp) Replug(disk);
        simulator->ClearFaults();
        std::vector<uint8_t> kept;
        if (put) {
            ASSERT_TRUE(simulator->ReadDiskFile("BIG.BIN", &kept));
        } else {
            kept = AsBytes(Slurp(partial));
            struct stat info {};
            ASSERT_EQ(stat(partial.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0600u);
            EXPECT_TRUE(Contains(r.output, "kept in " + partial + " for get --resume; nothing saved to " + out))
                << r.output;
            EXPECT_EQ(FilesIn(pc), (std::vector<std::string>{"out.bin.tovrel-resume", "out.bin.tovrel-resume-source"}));
        }
        ASSERT_GT(kept.size(), 0u);
        ASSERT_LT(kept.size(), data.size());
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), data.begin()));

        simulator->ClearRequests();
        r = RunCli(row.resume);
        EXPECT_EQ(r.code, 0) << r.output;
        std::vector<uint8_t> result;
        if (put) {
            // Only the rest was written, after what the disk file held.
            size_t sent = 0;
            for (const auto& request : simulator->Requests())
                if (request[2] == 0x20) sent += request.size() - 6;
            EXPECT_EQ(sent, data.size() - kept.size());
            ASSERT_TRUE(simulator->ReadDiskFile("BIG.BIN", &result));
            EXPECT_TRUE(Contains(r.output, "put: " + std::to_string(data.size() - kept.size()) + " bytes to BIG.BIN after the " +
                                               std::to_string(kept.size()) + " it held"))
                << r.output;
        } else {
            result = AsBytes(Slurp(out));
            EXPECT_EQ(FilesIn(pc), std::vector<std::string>{"out.bin"});
        }
        EXPECT_EQ(result, data);
    }
    // One that got nothing keeps no empty partial file.
    fs::remove(out);
    simulator->ArmFault({SimFault::kSilent, 0, {}, 3, false});
    const CliResult r = RunCli("get --retries 0 --resume BIG.BIN " + out);
    EXPECT_EQ(r.code, 7) << r.output;
    EXPECT_TRUE(fs::is_empty(pc));
}

// put --resume refuses what cannot be the start of the file, with nothing
// written: a disk file longer than the PC file, one whose bytes are not the
// PC file's (--verify).
TEST_F(VerifyResume, PutResumeRefusesWhatCannotBeTheStart) {
    const std::vector<uint8_t> data = Pattern(3000);
    const std::string in = (work / "in.bin").string();
    WriteFile(in, data);
    std::vector<uint8_t> longer = Pattern(4000), otherStart(data.begin(), data.begin() + 1000);
    otherStart[700] ^= 0x80;
    const struct {
        std::string args;
        std::vector<uint8_t> onDisk;
        int code;
        std::string message;
    } rows[] = {
        {"put --resume " + in + " X.BIN", longer, 2, "put: X.BIN holds 4000 bytes, more than " + in + "'s 3000: not resumed; nothing written"},
        {"put --resume --verify " + in + " X.BIN", otherStart, 11,
         "put: verify mismatch at byte 700 (of 1000): X.BIN does not start as " + in + ": not resumed; nothing written"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        ASSERT_TRUE(simulator->WriteDiskFile("X.BIN", row.onDisk));
        simulator->ClearRequests();
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_TRUE(Contains(r.output, row.message)) << r.output;
        for (const auto& request : simulator->Requests()) EXPECT_NE(request[2], 0x20);
        std::vector<uint8_t> onDisk;
        ASSERT_TRUE(simulator->ReadDiskFile("X.BIN", &onDisk));
        EXPECT_EQ(onDisk, row.onDisk);
    }
}

// The partial file has a fixed name another user can plant in a shared
// directory: a link (never followed), a FIFO (never opened), a file of that
// user's (its bytes would become ours), or another name of one of ours.
// Each is refused with nothing written and nothing saved.
TEST_F(VerifyResume, GetResumeTakesNoPartialFileAnotherUserPlanted) {
    ASSERT_TRUE(simulator->WriteDiskFile("A.TXT", Pattern(3000)));
    const fs::path shared = work / "shared", victim = work / "roots-file";
    const std::string target = (shared / "a.bin").string(), partial = target + ".tovrel-resume", v = victim.string();
    const struct {
        const char* what;
        std::function<bool()> plant;
        bool asNobody;
        const char* refusal;
    } plants[] = {
        {"a link", [&] { return symlink(v.c_str(), partial.c_str()) == 0; }, true, "not a regular file"},
        {"a FIFO", [&] { return mkfifo(partial.c_str(), 0666) == 0; }, true, "not a regular file"},
        {"nobody's file",
         [&] {
             const int fd = open(partial.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
             return fd >= 0 && write(fd, "evil", 4) == 4 && close(fd) == 0;
         },
         true, "belongs to another user"},
        {"a hard link to root's file", [&] { return link(v.c_str(), partial.c_str()) == 0; }, false, "has other links"},
    };
    for (const auto& p : plants) {
        SCOPED_TRACE(p.what);
        fs::remove_all(shared);
        fs::create_directories(shared);
        ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
        std::ofstream(victim) << "root's";
        ASSERT_TRUE(p.asNobody ? AsNobody(p.plant) : p.plant());
        struct stat before {};
        ASSERT_EQ(lstat(partial.c_str(), &before), 0);
        const CliResult r = RunCli("get --resume A.TXT " + target);
        EXPECT_EQ(r.code, 6) << r.output;
        EXPECT_TRUE(Contains(r.output, p.refusal)) << r.output;
        EXPECT_EQ(Slurp(victim), "root's");
        struct stat after {};
        ASSERT_EQ(lstat(partial.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(FilesIn(shared), std::vector<std::string>{"a.bin.tovrel-resume"});
    }
}

// get reads to the end of the disk file, whatever its open claims: a file
// longer than claimed is saved whole with a warning naming both sizes (and
// --verify reads that length again); one shorter fails, saving nothing.
TEST_F(VerifyResume, GetReadsToTheEndWhateverTheOpenClaims) {
    const std::vector<uint8_t> data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("F.BIN", data));
    const std::string saved = (work / "saved.bin").string();
    const std::string longer = "get: warning: F.BIN holds 3000 bytes, more than the 1000 its open announced";
    const struct {
        uint32_t claim;
        std::string args;
        int code;
        std::string message;
    } rows[] = {
        {1000, "get --verify F.BIN " + saved, 0, longer},
        {1000, "get --resume --verify F.BIN " + saved, 0, longer},
        {5000, "get F.BIN " + saved, 7, "get: 3000 of 5000 bytes read: the file ended early; nothing saved to " + saved},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::ofstream(saved) << "precious";
        simulator->ArmFault({SimFault::kClaimSize, row.claim, {}, 1, false});
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_TRUE(Contains(r.output, row.message)) << r.output;
        EXPECT_EQ(AsBytes(Slurp(saved)), row.code == 0 ? data : AsBytes("precious"));
        EXPECT_EQ(FilesIn(work), std::vector<std::string>{"saved.bin"});
    }
}

// A partial file of get --resume continues only the disk file it came
// from: the same name as the module resolves it, through the cd commands
// before, and the same size at the open, and whose bytes before the join
// (with --verify: all kept bytes) are the disk file's. Any other starts
// over, saying so, and ends with the file asked for.
TEST_F(VerifyResume, APartialFileContinuesOnlyTheFileItCameFrom) {
    // `near` differs from F1 in byte 100 alone: only the record of the
    // source, or --verify, tells a partial file of one from the other's.
    const std::vector<uint8_t> f1 = Pattern(3000, 1), other = Pattern(3000, 3), f1new = Pattern(3000, 4);
    std::vector<uint8_t> near = f1;
    near[100] ^= 0x01;
    ASSERT_EQ(RunCli("mkdir D0").code, 0);
    ASSERT_TRUE(simulator->WriteDiskFile("F2", near));
    const std::string out = (work / "out.bin").string();
    const struct {
        bool cdFirst;                   // a client before went into D0: the next one does not know it
        const std::vector<uint8_t>& d0; // D0/F1
        std::string first, firstInput;  // stopped by a short read: keeps 1124 bytes
        const std::vector<uint8_t>& f1After;
        std::string then, thenInput;
        const std::vector<uint8_t>& result;
        bool startsOver;
    } rows[] = {
        {false, other, "get --retries 0 --resume F1 " + out, "", f1, "get --resume F2 " + out, "", near, true},
        {false, near, "shell", "cd D0\nget --retries 0 --resume F1 " + out + "\n", f1, "get --resume /F1 " + out, "", f1, true},
        {false, other, "get --retries 0 --resume F1 " + out, "", f1, "shell", "cd D0\ncd ..\nget --resume /D0/../F1 " + out + "\n", f1, false},
        {false, other, "get --retries 0 --resume F1 " + out, "", near, "get --resume --verify F1 " + out, "", near, true},
        {false, other, "get --retries 0 --resume F1 " + out, "", f1new, "get --retries 0 --resume F1 " + out, "", f1new, true},
        {true, other, "get --retries 0 --resume F1 " + out, "", f1, "get --retries 0 --resume F1 " + out, "", f1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first + " " + row.firstInput + ", then " + row.then + " " + row.thenInput);
        ASSERT_TRUE(simulator->WriteDiskFile("F1", f1));
        ASSERT_TRUE(simulator->WriteDiskFile("D0/F1", row.d0));
        ASSERT_EQ(RunCli(row.cdFirst ? "cd D0" : "cd /").code, 0);
        simulator->ArmFault({SimFault::kShortRead, 100, {}, 3, false});
        CliResult r = RunCli(row.first, row.firstInput);
        ASSERT_EQ(r.code, 7) << r.output;
        ASSERT_EQ(fs::file_size(out + ".tovrel-resume"), 1124u);
        ASSERT_TRUE(simulator->WriteDiskFile("F1", row.f1After));
        ASSERT_EQ(RunCli("cd /").code, 0);
        simulator->ClearRequests();
        r = RunCli(row.then, row.thenInput);
        EXPECT_EQ(r.code, 0) << r.output;
        EXPECT_EQ(AsBytes(Slurp(out)), row.result);
        EXPECT_EQ(Contains(r.output, "starting over"), row.startsOver) << r.output;
        size_t reads = 0;
        for (const auto& request : simulator->Requests()) reads += request[2] == 0x30;
        // Continued: the chunk before the join, the 1876 bytes after it in
        // four chunks and the read that finds the end.
        if (!row.startsOver) {
            EXPECT_EQ(reads, 6u);
        }
        EXPECT_EQ(FilesIn(work), std::vector<std::string>{"out.bin"});
        fs::remove(out);
    }
    // A record of the source planted as a link is replaced, not written through.
    const fs::path victim = work / "victim";
    std::ofstream(victim) << "root's";
    ASSERT_EQ(symlink(victim.c_str(), (out + ".tovrel-resume-source").c_str()), 0);
    const CliResult r = RunCli("get --resume F2 " + out);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(Slurp(victim), "root's");
    EXPECT_EQ(FilesIn(work), (std::vector<std::string>{"out.bin", "victim"}));
}

