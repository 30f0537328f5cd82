// The module commands against the simulated module: data written comes back
// the same, the disk holds it, and every injected fault ends in the result
// the commands document.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "protocol/Exchange.h"
#include "protocol/ModuleSearch.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"
#include "tests/commands/AgainstSimulator.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/Timing.h"

namespace {

Bytes Pattern(size_t n) {
    Bytes out(n);
    uint32_t x = 0x12345678u ^ static_cast<uint32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

}  // namespace

TEST_F(AgainstSimulator, DataComesBackAsWrittenAtEverySize) {
    for (size_t size : {1u, 511u, 512u, 513u, 1000u, 1024u, 65543u}) {
        SCOPED_TRACE(size);
        const Bytes data = Pattern(size);
        const std::string name = "F" + std::to_string(size) + ".BIN";
        EXPECT_EQ(WriteAndReadBack(name.c_str(), data), data);
        Bytes onDisk;
        ASSERT_TRUE(simulator->ReadDiskFile(name, &onDisk));
        EXPECT_EQ(onDisk, data);

        DiskFileHandle* again = DiskOpenFile(name.c_str());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->size, size);
        EXPECT_EQ(DiskCloseFile(), 0);
    }
}

TEST_F(AgainstSimulator, StatusTellsTheOpenFileAndItsGrowth) {
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.baudIndex, 7);
    EXPECT_EQ(info.diskPresent, 1);
    EXPECT_EQ(info.fileHandle, 0xFF);

    DiskFileHandle* file = DiskOpenFile("LOG.TXT");
    ASSERT_NE(file, nullptr);
    const Bytes data = Pattern(700);
    ASSERT_EQ(DiskWrite(data.data(), 700, file), 700u);
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.fileHandle, file->handle);
    EXPECT_EQ(info.fileSize, 700u);
    EXPECT_EQ(file->size, 0u);  // the record keeps the size at open
}

TEST_F(AgainstSimulator, ClockTicksOnFromTheSetting) {
    const DeviceSettings settings = {7, 26, 12, 31, 23, 59, 58};
    ASSERT_TRUE(DiskSetParams(&settings));
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    // 23:59:58 on the last day of 2026 turns into 2027 within seconds.
    const bool sameSecondOrNext = (info.year == 26 && info.month == 12 && info.day == 31 && info.hour == 23 &&
                                   info.minute == 59 && info.second >= 58) ||
                                  (info.year == 27 && info.month == 1 && info.day == 1 && info.second <= 2);
    EXPECT_TRUE(sameSecondOrNext) << int(info.year) << "-" << int(info.month) << "-" << int(info.day) << " "
                                  << int(info.hour) << ":" << int(info.minute) << ":" << int(info.second);
}

TEST_F(AgainstSimulator, SeekFromEachOrigin) {
    const Bytes data = Pattern(100);
    DiskFileHandle* file = DiskOpenFile("SEEK.BIN");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(DiskWrite(data.data(), 100, file), 100u);
    uint8_t got[8] = {};

    ASSERT_EQ(DiskSeek(file, 10, 0), 0);
    ASSERT_EQ(DiskRead(got, 5, file), 5u);
    EXPECT_TRUE(std::equal(got, got + 5, data.begin() + 10));

    ASSERT_EQ(DiskSeek(file, -3, 1), 0);  // back to 12
    ASSERT_EQ(DiskRead(got, 2, file), 2u);
    EXPECT_TRUE(std::equal(got, got + 2, data.begin() + 12));

    ASSERT_EQ(DiskSeek(file, -2, 2), 0);
    EXPECT_EQ(DiskRead(got, 8, file), 2u);  // only two left
    EXPECT_TRUE(std::equal(got, got + 2, data.begin() + 98));
    EXPECT_EQ(DiskRead(got, 8, file), 0u);  // at the end

    EXPECT_NE(DiskSeek(file, -1, 0), 0);  // before the start
    EXPECT_NE(DiskSeek(file, -101, 2), 0);
    ASSERT_EQ(DiskSeek(file, 0, 1), 0);  // the refused seeks moved nothing
    EXPECT_EQ(DiskRead(got, 8, file), 0u);
    EXPECT_NE(DiskSeek(file, 0, 3), 0);  // no such origin

    // Writing past the end leaves zeros in between.
    ASSERT_EQ(DiskSeek(file, 4, 2), 0);
    const uint8_t tail = 0x5A;
    ASSERT_EQ(DiskWrite(&tail, 1, file), 1u);
    ASSERT_EQ(DiskCloseFile(), 0);
    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("SEEK.BIN", &onDisk));
    ASSERT_EQ(onDisk.size(), 105u);
    EXPECT_EQ(onDisk[100], 0);
    EXPECT_EQ(onDisk[104], 0x5A);
}

TEST_F(AgainstSimulator, DirectoriesRelativeAndAbsolute) {
    EXPECT_EQ(DiskMakeDir("USB_HOST"), 0);
    EXPECT_NE(DiskMakeDir("USB_HOST"), 0);  // already there
    EXPECT_NE(DiskMakeDir("NO/SUCH"), 0);   // no parent
    ASSERT_EQ(DiskSetCurrentDir("USB_HOST"), 0);
    EXPECT_EQ(DiskMakeDir("SUB"), 0);
    ASSERT_NE(DiskOpenFile("IN.TXT"), nullptr);
    ASSERT_EQ(DiskCloseFile(), 0);
    EXPECT_TRUE(simulator->DiskDirectoryExists("USB_HOST/SUB"));
    Bytes empty;
    EXPECT_TRUE(simulator->ReadDiskFile("USB_HOST/IN.TXT", &empty));

    EXPECT_NE(DiskSetCurrentDir("MISSING"), 0);
    ASSERT_EQ(DiskSetCurrentDir("/"), 0);
    EXPECT_NE(DiskRemoveDir("USB_HOST"), 0);  // not empty
    EXPECT_EQ(DiskDeleteFile("/USB_HOST/IN.TXT"), 0);
    EXPECT_NE(DiskDeleteFile("/USB_HOST/IN.TXT"), 0);  // gone
    EXPECT_EQ(DiskRemoveDir("USB_HOST/SUB"), 0);
    EXPECT_EQ(DiskRemoveDir("USB_HOST"), 0);
    EXPECT_FALSE(simulator->DiskDirectoryExists("USB_HOST"));
    EXPECT_NE(DiskRemoveDir("USB_HOST"), 0);
}

TEST_F(AgainstSimulator, ChineseNamesTravelAsCodePage936AndLandAsUtf8) {
    const char gbkName[] = "\xCB\xB5\xC3\xF7.TXT";  // 说明.TXT
    DiskFileHandle* file = DiskOpenFile(gbkName);
    ASSERT_NE(file, nullptr);
    const Bytes data = Pattern(10);
    ASSERT_EQ(DiskWrite(data.data(), 10, file), 10u);
    ASSERT_EQ(DiskCloseFile(), 0);
    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("\xE8\xAF\xB4\xE6\x98\x8E.TXT", &onDisk));
    EXPECT_EQ(onDisk, data);
    EXPECT_EQ(DiskOpenFile("\xFF\xFF.TXT"), nullptr);  // not code page 936
}

TEST_F(AgainstSimulator, NoNameReachesOutsideTheDisk) {
    const std::filesystem::path outside = std::filesystem::temp_directory_path() / ("tovrel-outside-" + std::to_string(getpid()));
    std::filesystem::create_directory(outside);
    std::ofstream(outside / "SECRET.TXT") << "keep";
    const std::string relative = "../" + outside.filename().string() + "/SECRET.TXT";

    EXPECT_NE(DiskDeleteFile(relative.c_str()), 0);
    EXPECT_NE(DiskDeleteFile((outside / "SECRET.TXT").c_str()), 0);  // a host path is a disk path
    EXPECT_NE(DiskSetCurrentDir(".."), 0);
    EXPECT_EQ(DiskOpenFile(relative.c_str()), nullptr);
    EXPECT_TRUE(std::filesystem::exists(outside / "SECRET.TXT"));

    // A link planted in the disk folder is not followed.
    std::filesystem::create_directory_symlink(outside, std::filesystem::path(simulator->DiskFolder()) / "LINK");
    EXPECT_NE(DiskDeleteFile("LINK/SECRET.TXT"), 0);
    EXPECT_NE(DiskSetCurrentDir("LINK"), 0);
    EXPECT_TRUE(std::filesystem::exists(outside / "SECRET.TXT"));
    std::filesystem::remove_all(outside);
}

TEST_F(AgainstSimulator, WithoutADiskTheDiskCommandsFail) {
    simulator->SetDiskPresent(false);
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.diskPresent, 0);
    EXPECT_EQ(DiskOpenFile("A.TXT"), nullptr);
    EXPECT_NE(DiskMakeDir("D"), 0);
    simulator->SetDiskPresent(true);
    EXPECT_NE(DiskOpenFile("A.TXT"), nullptr);
}

TEST_F(AgainstSimulator, FaultsEndInNoAnswerOrAreReadPast) {
    using O = ReceiveOutcome;
    const struct {
        SimFault fault;
        bool answered;
        O outcome;
    } cases[] = {
        {{SimFault::kSilent, 0, {}, 1, false}, false, O::kNoAnswer},
        {{SimFault::kGarbageFirst, 0, {0x00, 0x53, 0x99}, 1, false}, true, O::kAnswered},
        {{SimFault::kWrongMarker, 0, {}, 1, false}, false, O::kBadFrame},
        {{SimFault::kTruncatePayload, 5, {}, 1, false}, false, O::kCutShort},
        {{SimFault::kOversizeLength, 600, {}, 1, false}, false, O::kBadFrame},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.kind);
        simulator->ArmFault(c.fault);
        DeviceInfo info{};
        info.diskPresent = 1;
        EXPECT_EQ(DiskGetInfo(&info), c.answered);
        EXPECT_EQ(theResponseReceiver.m_outcome, c.outcome);
        EXPECT_EQ(info.diskPresent, c.answered ? 1 : 0);
        EXPECT_TRUE(DiskGetInfo(&info));  // the next exchange is sound again
    }
}

// A module may answer after the wait has run out (a flash write stalled):
// that answer must not be taken for the next request's.
TEST_F(AgainstSimulator, AnAnswerThatComesTooLateIsNeverTheNextOnes) {
    const Bytes data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("F.BIN", data));
    ASSERT_TRUE(simulator->WriteDiskFile("A.TXT", {'a'}));
    DiskFileHandle* file = DiskOpenFile("F.BIN");
    ASSERT_NE(file, nullptr);
    simulator->ArmFault({SimFault::kDelay, 2500, {}, 1, false});
    Bytes got(3000, 0xEE);
    EXPECT_EQ(DiskReadChunk(got.data(), 512, file), 0);  // its answer comes late; the pointer moved all the same
    EXPECT_EQ(DiskRead(got.data(), 2488, file), 2488u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 2488), Bytes(data.begin() + 512, data.end()));
    EXPECT_EQ(DiskCloseFile(), 0);

    simulator->ArmFault({SimFault::kDelay, 2500, {}, 1, false});
    EXPECT_EQ(DiskDeleteFile("A.TXT"), 0xFF);
    EXPECT_EQ(DiskDeleteFile("NOPE.TXT"), 0x01);  // not A.TXT's late 0
}

// A transfer nobody watches retries a chunk whose exchange failed: the line
// back in step, the pointer back where the module last acknowledged, the
// same chunk again. Without retries the same fault ends it, saying how.
TEST_F(AgainstSimulator, RetriesCarryATransferOverEachFaultAndTheWindowsFailAtOnce) {
    using E = TransferEnd;
    const Bytes data = Pattern(3000);
    const struct {
        SimFault fault;  // on the third chunk's request: after the open, two chunks
        E write, read;   // how each ends without retries
    } cases[] = {
        {{SimFault::kSilent, 0, {}, 3, false}, E::kNoAnswer, E::kNoAnswer},
        {{SimFault::kDelay, 1000, {}, 3, false}, E::kNoAnswer, E::kNoAnswer},  // past the fitted wait
        {{SimFault::kWrongMarker, 0, {}, 3, false}, E::kBadFrame, E::kBadFrame},
        {{SimFault::kTruncatePayload, 1, {}, 3, false}, E::kCutShort, E::kCutShort},
        {{SimFault::kOversizeLength, 600, {}, 3, false}, E::kBadFrame, E::kBadFrame},
        {{SimFault::kStatus, 0x0B, {}, 3, false}, E::kRefused, E::kRefused},
        {{SimFault::kShortWrite, 100, {}, 3, false}, E::kShortWrite, E::kDone},
        {{SimFault::kShortRead, 100, {}, 3, false}, E::kDone, E::kShortInMiddle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.kind);
        for (const int limit : {0, 2}) {
            SCOPED_TRACE(limit);
            FitAnswerWait(0);
            TransferRetries retries{limit, 0};
            ASSERT_TRUE(simulator->WriteDiskFile("R.BIN", {}));
            DiskFileHandle* file = DiskOpenFile("R.BIN");
            ASSERT_NE(file, nullptr);
            simulator->ArmFault(c.fault);
            size_t at = 0;
            const TransferResult written = WriteToDisk(file, 0, data.size(), [&](uint8_t* to, size_t n) -> long long {
                n = std::min(n, data.size() - at);
                std::copy_n(data.begin() + static_cast<long>(at), n, to);
                at += n;
                return static_cast<long long>(n);
            }, &retries);
            EXPECT_EQ(written.end, limit == 0 ? c.write : E::kDone);
            if (written.ok()) {
                EXPECT_EQ(written.moved, data.size());
            }

            simulator->ClearFaults();
            ASSERT_TRUE(SeekFromStart(file, 0));
            simulator->ArmFault(c.fault);
            Bytes back;
            const TransferResult read = ReadFromDisk(file, 0, UINT32_MAX, false, 0, [&](const uint8_t* d, size_t n) {
                back.insert(back.end(), d, d + n);
                return true;
            }, &retries);
            EXPECT_EQ(read.end, limit == 0 ? c.read : E::kDone);
            if (limit != 0) {
                EXPECT_EQ(back, data);
                EXPECT_GE(retries.used, 1);
            }
            simulator->ClearFaults();
            EXPECT_EQ(DiskCloseFile(), 0);
            KeepFullAnswerWait();
        }
    }
}

TEST_F(AgainstSimulator, DelayWithinTheWaitIsNoFault) {
    simulator->ArmFault({SimFault::kDelay, 300, {}, 1, false});
    DeviceInfo info{};
    EXPECT_TRUE(DiskGetInfo(&info));
}

TEST_F(AgainstSimulator, StatusFaultOnTheNthRequest) {
    simulator->ArmFault({SimFault::kStatus, 0x42, {}, 2, false});
    EXPECT_EQ(DiskMakeDir("A"), 0);
    EXPECT_EQ(DiskMakeDir("B"), 0x42);
    EXPECT_FALSE(simulator->DiskDirectoryExists("B"));
    EXPECT_EQ(DiskMakeDir("B"), 0);
}

TEST_F(AgainstSimulator, ShortSecondChunkStopsTheCountThere) {
    DiskFileHandle* file = DiskOpenFile("CUT.BIN");
    ASSERT_NE(file, nullptr);
    simulator->ArmFault({SimFault::kShortWrite, 400, {}, 2, false});
    const Bytes data = Pattern(1000);
    EXPECT_EQ(DiskWrite(data.data(), 1000, file), 912u);
    ASSERT_EQ(DiskCloseFile(), 0);
    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("CUT.BIN", &onDisk));
    EXPECT_EQ(onDisk, Bytes(data.begin(), data.begin() + 912));
}

TEST_F(AgainstSimulator, LineClosedMidTransferEndsItPromptly) {
    DiskFileHandle* file = DiskOpenFile("BIG.BIN");
    ASSERT_NE(file, nullptr);
    simulator->ArmFault({SimFault::kHangUp, 0, {}, 3, false});  // the third chunk meets a dead line
    const Bytes data = Pattern(10 * 512);
    const auto start = Clock::now();
    EXPECT_EQ(DiskWrite(data.data(), static_cast<uint32_t>(data.size()), file), 1024u);
    EXPECT_LT(ElapsedMs(start), 2500);  // within one wait, no retries
    EXPECT_EQ(DiskCloseFile(), 0xF0);
}
