// What the module commands put on the line, byte for byte, and what they
// make of the answers, against a scripted module on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "protocol/Exchange.h"
#include "protocol/ResponseReceiver.h"
#include "protocol/TransferProgress.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"
#include "serial/posix/CommJournal.h"
#include "tests/support/ScriptedPeer.h"

namespace {

Bytes Answer(uint8_t command, uint8_t status, const Bytes& payload = {}) {
    Bytes out(6 + payload.size());
    out[0] = 0x53;
    out[1] = 0x3A;
    out[2] = command;
    out[3] = status;
    out[4] = static_cast<uint8_t>(payload.size() & 0xFF);
    out[5] = static_cast<uint8_t>(payload.size() >> 8);
    // Guarded so that GCC 12 at -O3, inlining an empty payload, does not
    // warn of a copy past the header that never happens.
    if (!payload.empty()) std::copy(payload.begin(), payload.end(), out.begin() + 6);
    return out;
}

Bytes Pattern(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + seed);
    return out;
}

// The status exchange that brings a line in doubt back in step.
ScriptStep InStep() { return {6, Answer(0x00, 0, Pattern(14))}; }

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        peer.ExportAs(1);
        ASSERT_TRUE(ReopenSerialChannel(1, 115200));
        DiskProtocolReset();
        script.Play({InStep()});
        ASSERT_TRUE(BringLineInStep());
        script.Finish();
    }
    void TearDown() override {
        script.Finish();
        comm_journal::Enable(false);
        theSerialChannel.Close(true);
        DiskProtocolReset();
    }

    // The record opened by a scripted answer.
    DiskFileHandle* OpenAs(uint8_t handle, uint32_t size = 0) {
        script.Play({{6 + 1, Answer(0x10, 0, {handle, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                                             static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)})}});
        DiskFileHandle* file = DiskOpenFile("F");
        script.Finish();
        return file;
    }

    void Journal() {
        comm_journal::Clear();
        comm_journal::Enable(true);
    }
    // The sizes of the writes made since Journal().
    std::vector<std::string> Sends() const {
        std::vector<std::string> out;
        for (const std::string& e : comm_journal::Entries())
            if (e.rfind("WriteFile", 0) == 0) out.push_back(e);
        return out;
    }
    bool NothingSent() { return Sends().empty() && peer.ReadUntilQuiet(50).empty(); }

    PtyPeer peer;
    ScriptedPeer script{&peer};
};

}  // namespace

TEST_F(Commands, StatusRequestAndItsUnpacking) {
    const Bytes report = {0x03, 0x07, 0x0C, 0x1F, 0x17, 0x3B, 0x3B, 0x01, 0x02, 0x00, 0x10, 0x00, 0x00, 0x00};
    script.Play({{6, Answer(0x00, 0, report)}});
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(info.baudIndex, 3);
    EXPECT_EQ(kModuleBaudRates[info.baudIndex], 19200);
    EXPECT_EQ(info.year, 7);
    EXPECT_EQ(info.month, 12);
    EXPECT_EQ(info.day, 31);
    EXPECT_EQ(info.hour, 23);
    EXPECT_EQ(info.minute, 59);
    EXPECT_EQ(info.second, 59);
    EXPECT_EQ(info.diskPresent, 1);
    EXPECT_EQ(info.fileHandle, 2);
    EXPECT_EQ(info.fileSize, 4096u);
    EXPECT_EQ(info.reserved, 0);

    Bytes noFile = report;
    noFile[8] = 0xFF;
    noFile[9] = 0x78;
    noFile[10] = 0x56;
    noFile[11] = 0x34;
    noFile[12] = 0x12;
    noFile[13] = 0x9A;
    script.Play({{6, Answer(0x00, 0, noFile)}});
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.fileHandle, 0xFF);
    EXPECT_EQ(info.fileSize, 0x12345678u);
    EXPECT_EQ(info.reserved, 0x9A);
}

TEST_F(Commands, StatusFailuresKeepTheRecordButClearDiskPresent) {
    const DeviceInfo before = {3, 7, 12, 31, 23, 59, 59, 1, 2, 4096, 5};
    const auto keptButDisk = [&](const DeviceInfo& after) {
        return after.baudIndex == before.baudIndex && after.year == before.year && after.month == before.month &&
               after.day == before.day && after.hour == before.hour && after.minute == before.minute &&
               after.second == before.second && after.fileHandle == before.fileHandle &&
               after.fileSize == before.fileSize && after.reserved == before.reserved && after.diskPresent == 0;
    };
    DeviceInfo info = before;
    script.Play({{6, Answer(0x00, 0x01)}});
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_TRUE(keptButDisk(info));

    // A success answer too short to unpack is no report.
    info = before;
    script.Play({{6, Answer(0x00, 0, Pattern(13, 1))}});
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_TRUE(keptButDisk(info));

    // One longer than the 16-byte buffer is refused unread.
    info = before;
    script.Play({{6, Answer(0x00, 0, Pattern(17, 1))}});
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_TRUE(keptButDisk(info));
    script.Finish();

    info = before;
    EXPECT_FALSE(DiskGetInfo(&info));  // nobody answers
    EXPECT_TRUE(keptButDisk(info));
}

TEST_F(Commands, SettingsRequestAndStatus) {
    const DeviceSettings settings = {5, 7, 12, 31, 23, 59, 59};
    script.Play({{13, Answer(0x01, 0)}});
    EXPECT_TRUE(DiskSetParams(&settings));
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x01, 0x00, 0x07, 0x00, 0x05, 0x07, 0x0C, 0x1F, 0x17, 0x3B, 0x3B}));
    script.Play({{13, Answer(0x01, 0x02)}});
    EXPECT_FALSE(DiskSetParams(&settings));
}

TEST_F(Commands, OpenSendsHeaderThenNameAndFillsTheRecord) {
    Journal();
    script.Play({{11, Answer(0x10, 0, {0x07, 0x00, 0x04, 0x00, 0x00})}});
    DiskFileHandle* file = DiskOpenFile("A.TXT");
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x10, 0xFF, 0x05, 0x00, 0x41, 0x2E, 0x54, 0x58, 0x54}));
    EXPECT_EQ(Sends(), (std::vector<std::string>{"WriteFile(6)", "WriteFile(5)"}));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->handle, 0x07);
    EXPECT_EQ(file->size, 1024u);
    EXPECT_EQ(DiskGetFreeHandle(), nullptr);

    Journal();
    EXPECT_EQ(DiskOpenFile("B.TXT"), nullptr);  // one file at a time
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(file->handle, 0x07);
}

TEST_F(Commands, RefusedOrShortOpenLeavesTheRecordFree) {
    script.Play({{7, Answer(0x10, 0x01)}});
    EXPECT_EQ(DiskOpenFile("X"), nullptr);
    ASSERT_NE(DiskGetFreeHandle(), nullptr);
    EXPECT_EQ(DiskGetFreeHandle()->handle, 0xFF);

    script.Play({{7, Answer(0x10, 0, {0x07, 0x00, 0x04})}});
    EXPECT_EQ(DiskOpenFile("X"), nullptr);
    ASSERT_NE(DiskGetFreeHandle(), nullptr);
    EXPECT_EQ(DiskGetFreeHandle()->size, 0u);

    // Handle 0xFF in a success answer: the pointer comes back, but the
    // record stays free and the data commands refuse.
    DiskFileHandle* file = OpenAs(0xFF, 9);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->handle, 0xFF);
    EXPECT_EQ(file->size, 9u);
    Journal();
    uint8_t byte = 0;
    EXPECT_EQ(DiskWriteChunk(&byte, 1, file), 0);
    EXPECT_TRUE(NothingSent());
}

TEST_F(Commands, CloseSendsFixedFrameAndFreesTheRecordWhateverTheAnswer) {
    ASSERT_NE(OpenAs(0x07, 100), nullptr);
    script.Play({{6, Answer(0x12, 0)}});
    EXPECT_EQ(DiskCloseFile(), 0);
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x12, 0x00, 0x00, 0x00}));

    script.Play({{6, Answer(0x12, 0x05)}});  // no file open: still sent
    EXPECT_EQ(DiskCloseFile(), 0x05);
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x12, 0x00, 0x00, 0x00}));

    ASSERT_NE(OpenAs(0x07, 100), nullptr);
    script.Play({{6, {}}});  // silent module
    EXPECT_EQ(DiskCloseFile(), 0xF0);
    DiskFileHandle* free = DiskGetFreeHandle();
    ASSERT_NE(free, nullptr);
    EXPECT_EQ(free->handle, 0xFF);
    EXPECT_EQ(free->size, 0u);
}

TEST_F(Commands, NameCommandsCarryTheirFixedHandleBytes) {
    struct Case {
        uint8_t (*run)(const char*);
        uint8_t command;
        uint8_t handle;
    };
    const Case cases[] = {{DiskDeleteFile, 0x13, 0xFF},
                          {DiskMakeDir, 0x50, 0xFF},
                          {DiskSetCurrentDir, 0x52, 0x00},
                          {DiskRemoveDir, 0x53, 0x00}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Journal();
        script.Play({{14, Answer(c.command, 0)}});
        EXPECT_EQ(c.run("USB_HOST"), 0);
        EXPECT_EQ(script.Finish()[0],
                  (Bytes{0x55, 0x3A, c.command, c.handle, 0x08, 0x00, 0x55, 0x53, 0x42, 0x5F, 0x48, 0x4F, 0x53, 0x54}));
        EXPECT_EQ(Sends(), (std::vector<std::string>{"WriteFile(6)", "WriteFile(8)"}));

        script.Play({{14, Answer(c.command, 0x03)}});
        EXPECT_EQ(c.run("USB_HOST"), 0x03);
    }
}

TEST_F(Commands, EmptyNameSendsTheHeaderAloneAndKeepsAnAnswerThatComesAtOnce) {
    for (int i = 0; i < 20; ++i) {
        Journal();
        script.Play({{6, Answer(0x13, 0x01)}});
        EXPECT_EQ(DiskDeleteFile(""), 0x01);
        EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x13, 0xFF, 0x00, 0x00}));
        EXPECT_EQ(Sends(), (std::vector<std::string>{"WriteFile(6)"}));
    }
}

TEST_F(Commands, NamesLongerThanTheLengthByteAreRefusedUnsent) {
    const std::string longest(255, 'N');
    script.Play({{6 + 255, Answer(0x50, 0)}});
    EXPECT_EQ(DiskMakeDir(longest.c_str()), 0);
    const Bytes sent = script.Finish()[0];
    EXPECT_EQ(sent[4], 0xFF);
    EXPECT_EQ(sent[5], 0x00);

    const std::string tooLong(256, 'N');
    Journal();
    EXPECT_EQ(DiskMakeDir(tooLong.c_str()), 0xFF);
    EXPECT_EQ(DiskDeleteFile(tooLong.c_str()), 0xFF);
    EXPECT_EQ(DiskOpenFile(tooLong.c_str()), nullptr);
    EXPECT_TRUE(NothingSent());
    EXPECT_NE(DiskGetFreeHandle(), nullptr);
}

TEST_F(Commands, WriteCutsIntoChunksOneSendEach) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    const Bytes data = Pattern(1000);

    Journal();
    script.Play({{518, Answer(0x20, 0, {0x00, 0x02})}, {494, Answer(0x20, 0, {0xE8, 0x01})}});
    EXPECT_EQ(DiskWrite(data.data(), 1000, file), 1000u);
    const auto sent = script.Finish();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Concat({{0x55, 0x3A, 0x20, 0x07, 0x00, 0x02}, Bytes(data.begin(), data.begin() + 512)}));
    EXPECT_EQ(sent[1], Concat({{0x55, 0x3A, 0x20, 0x07, 0xE8, 0x01}, Bytes(data.begin() + 512, data.end())}));
    EXPECT_EQ(Sends(), (std::vector<std::string>{"WriteFile(518)", "WriteFile(494)"}));

    // The last chunk's count is taken as reported.
    script.Play({{518, Answer(0x20, 0, {0x00, 0x02})}, {494, Answer(0x20, 0, {0x90, 0x01})}});
    EXPECT_EQ(DiskWrite(data.data(), 1000, file), 912u);

    // A chunk taken short ends the transfer: what the module took counts,
    // nothing more is sent.
    script.Play({{518, Answer(0x20, 0, {0xF4, 0x01})}});
    TransferResult result;
    EXPECT_EQ(DiskWrite(data.data(), 1000, file, &result), 500u);
    EXPECT_EQ(result.end, TransferEnd::kShortWrite);
    script.Finish();
    EXPECT_TRUE(peer.ReadUntilQuiet(50).empty());

    // A success answer without the count is a failed chunk.
    script.Play({{518, Answer(0x20, 0, {0x00})}});
    EXPECT_EQ(DiskWrite(data.data(), 1000, file), 0u);
    script.Finish();

}

TEST_F(Commands, WholeChunksMakeNoShortChunkAndZeroSendsNothing) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    const Bytes data = Pattern(1024);
    Journal();
    script.Play({{518, Answer(0x20, 0, {0x00, 0x02})}, {518, Answer(0x20, 0, {0x00, 0x02})}});
    EXPECT_EQ(DiskWrite(data.data(), 1024, file), 1024u);
    script.Finish();
    EXPECT_EQ(Sends().size(), 2u);
    EXPECT_TRUE(peer.ReadUntilQuiet(50).empty());

    Journal();
    uint8_t into[4] = {};
    EXPECT_EQ(DiskWrite(data.data(), 0, file), 0u);
    EXPECT_EQ(DiskRead(into, 0, file), 0u);
    EXPECT_TRUE(NothingSent());
}

TEST_F(Commands, DataCommandsRefuseAFreeOrMissingRecordUnsent) {
    Journal();
    uint8_t buffer[600] = {};
    DiskFileHandle* free = DiskGetFreeHandle();
    ASSERT_NE(free, nullptr);
    for (DiskFileHandle* file : {free, static_cast<DiskFileHandle*>(nullptr)}) {
        EXPECT_EQ(DiskWriteChunk(buffer, 10, file), 0);
        EXPECT_EQ(DiskWrite(buffer, 600, file), 0u);
        EXPECT_EQ(DiskReadChunk(buffer, 10, file), 0);
        EXPECT_EQ(DiskRead(buffer, 600, file), 0u);
        EXPECT_EQ(DiskSeek(file, 0, 0), 0xFF);
    }
    EXPECT_TRUE(NothingSent());
}

TEST_F(Commands, ReadRequestsAndShortAnswers) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    uint8_t buffer[1100];
    std::memset(buffer, 0xEE, sizeof buffer);

    script.Play({{10, Answer(0x30, 0, Pattern(379))}});
    EXPECT_EQ(DiskReadChunk(buffer, 379, file), 379);
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x30, 0x07, 0x04, 0x00, 0x7B, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(std::equal(buffer, buffer + 379, Pattern(379).begin()));
    EXPECT_EQ(buffer[379], 0xEE);

    // A short chunk is the file's end once the next read answers nothing:
    // its bytes count, whether it was the last chunk asked for or not.
    for (const uint32_t count : {100u, 1024u}) {
        SCOPED_TRACE(count);
        std::memset(buffer, 0xEE, sizeof buffer);
        script.Play({{10, Answer(0x30, 0, Pattern(60, 3))}, {10, Answer(0x30, 0)}});
        TransferResult result;
        EXPECT_EQ(DiskRead(buffer, count, file, &result), 60u);
        EXPECT_TRUE(result.ok() && result.endOfFile);
        EXPECT_TRUE(std::equal(buffer, buffer + 60, Pattern(60, 3).begin()));
        EXPECT_TRUE(std::all_of(buffer + 60, buffer + count, [](uint8_t b) { return b == 0xEE; }));
        script.Finish();
        EXPECT_TRUE(peer.ReadUntilQuiet(50).empty());
    }
    // Short, then more: a module that answers short in the middle.
    script.Play({{10, Answer(0x30, 0, Pattern(60, 3))}, {10, Answer(0x30, 0, Pattern(5))}});
    TransferResult result;
    EXPECT_EQ(DiskRead(buffer, 1024, file, &result), 60u);
    EXPECT_EQ(result.end, TransferEnd::kShortInMiddle);
    script.Finish();

    // End of file: status 0, no payload.
    script.Play({{10, Answer(0x30, 0)}});
    EXPECT_EQ(DiskReadChunk(buffer, 512, file), 0);
    script.Play({{10, Answer(0x30, 0x08)}});
    EXPECT_EQ(DiskReadChunk(buffer, 512, file), 0);
}

TEST_F(Commands, AnswersBeyondTheDestinationStoreNothingAndFail) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    script.Play({{10, Answer(0x30, 0, Pattern(11))}});
    EXPECT_EQ(DiskReadChunk(buffer + 16, 10, file), 0);
    EXPECT_TRUE(std::all_of(buffer, buffer + sizeof buffer, [](uint8_t b) { return b == 0xEE; }));
    script.Finish();

    // Each failure leaves the line in doubt: the next exchange first
    // brings it back in step.
    script.Play({InStep(), {11, Answer(0x40, 0, Pattern(13))}});
    EXPECT_EQ(DiskSeek(file, 0, 0), 0xFF);
    const Bytes chunk = Pattern(512);
    script.Play({InStep(), {518, Answer(0x20, 0, Pattern(7))}});
    EXPECT_EQ(DiskWriteChunk(chunk.data(), 512, file), 0);
    script.Play({InStep(), {7, Answer(0x13, 0, Pattern(9))}});
    EXPECT_EQ(DiskDeleteFile("Q"), 0xFF);
}

TEST_F(Commands, SeekFrameCarriesTheOffsetInTwosComplement) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    script.Play({{11, Answer(0x40, 0)}});
    EXPECT_EQ(DiskSeek(file, -2, 2), 0);
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x40, 0x07, 0x05, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x02}));
    script.Play({{11, Answer(0x40, 0x08)}});
    EXPECT_EQ(DiskSeek(file, 0x01020304, 1), 0x08);
    EXPECT_EQ(script.Finish()[0], (Bytes{0x55, 0x3A, 0x40, 0x07, 0x05, 0x00, 0x04, 0x03, 0x02, 0x01, 0x01}));
    EXPECT_EQ(file->handle, 0x07);  // a refused seek leaves the record
}

namespace {
struct ProgressLog {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    static bool Hook(uint32_t done, uint32_t total, void* context) {
        static_cast<ProgressLog*>(context)->calls.emplace_back(done, total);
        return true;
    }
};
}  // namespace

TEST_F(Commands, TransfersReportProgressAfterEveryChunk) {
    DiskFileHandle* file = OpenAs(0x07);
    ASSERT_NE(file, nullptr);
    ProgressLog log;
    SetTransferProgressHook(&ProgressLog::Hook, &log);
    const Bytes data = Pattern(1000);
    script.Play({{518, Answer(0x20, 0, {0x00, 0x02})}, {494, Answer(0x20, 0, {0xE8, 0x01})}});
    EXPECT_EQ(DiskWrite(data.data(), 1000, file), 1000u);
    script.Finish();
    SetTransferProgressHook(nullptr, nullptr);
    EXPECT_EQ(log.calls, (std::vector<std::pair<uint32_t, uint32_t>>{{512, 1000}, {1000, 1000}}));
}
