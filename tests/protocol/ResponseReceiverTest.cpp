#include "protocol/ResponseReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"
#include "serial/posix/CommJournal.h"
#include "tests/support/PtyPeer.h"

namespace {

void Feed(ResponseReceiver& r, const Bytes& bytes) {
    for (uint8_t b : bytes) r.FeedByte(b);
}

ResponseReceiver Armed(uint8_t* destination, uint32_t room) {
    ResponseReceiver r;
    r.SetDestination(destination, room);
    return r;  // m_done 0: awaiting a response
}

// theSerialChannel open on a pseudo-terminal; the peer's answer is written
// before the receive loop runs, as it would be waiting in the queue.
class Receive : public ::testing::Test {
protected:
    void SetUp() override {
        peer.ExportAs(1);
        ASSERT_TRUE(ReopenSerialChannel(1, 115200));
        std::fill(std::begin(destination), std::end(destination), 0xEE);
    }
    void TearDown() override { theSerialChannel.Close(true); }

    bool ReceiveAfter(const Bytes& answer, uint32_t room) {
        if (!answer.empty()) peer.Write(answer);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        theResponseReceiver.SetDestination(destination + kGuard, room);
        return theResponseReceiver.ReceiveResponse();
    }
    // Bytes of the destination area outside [kGuard, kGuard + room) untouched.
    bool GuardsIntact(uint32_t room) const {
        for (uint32_t i = 0; i < sizeof destination; ++i) {
            const bool inside = i >= kGuard && i < kGuard + room;
            if (!inside && destination[i] != 0xEE) return false;
        }
        return true;
    }
    int Reads() const {
        int n = 0;
        for (const auto& c : comm_journal::Entries()) n += c == "ReadFile";
        return n;
    }

    static constexpr uint32_t kGuard = 16;
    PtyPeer peer;
    uint8_t destination[kGuard + 600 + kGuard];
};

}  // namespace

TEST(ResponseReceiverParse, IdleReceiverIgnoresBytes) {
    uint8_t dest[4] = {};
    ResponseReceiver r = Armed(dest, 4);
    r.m_done = 0xFF;
    Feed(r, {0x53, 0x3A, 0x00, 0x07, 0x00, 0x00});
    EXPECT_EQ(r.m_status, 0);
    EXPECT_EQ(r.m_headerIndex, 0);
}

TEST(ResponseReceiverParse, HeaderWithoutPayloadCompletes) {
    uint8_t dest[4] = {};
    ResponseReceiver r = Armed(dest, 4);
    Feed(r, {0x53, 0x3A, 0x13, 0x05, 0x00, 0x00});
    EXPECT_EQ(r.m_done, 0xFF);
    EXPECT_EQ(r.m_status, 5);
    EXPECT_EQ(r.m_payloadLength, 0);
    EXPECT_EQ(r.m_received, 0u);
}

TEST(ResponseReceiverParse, LengthIsLittleEndianAndPayloadFollows) {
    uint8_t dest[600] = {};
    ResponseReceiver r = Armed(dest, 600);
    Feed(r, {0x53, 0x3A, 0x30, 0x00, 0x00, 0x02});
    EXPECT_EQ(r.m_payloadLength, 512);
    EXPECT_EQ(r.m_phase, 1);
    for (int i = 0; i < 512; ++i) r.FeedByte(static_cast<uint8_t>(i));
    EXPECT_EQ(r.m_done, 0xFF);
    EXPECT_EQ(r.m_phase, 0);
    EXPECT_EQ(r.m_received, 512u);
    EXPECT_EQ(dest[511], 0xFF);
    r.FeedByte(0x77);  // after completion: ignored
    EXPECT_EQ(dest[512], 0);
}

TEST(ResponseReceiverParse, WrongMarkerRestartsTheHeaderAtPositionZero) {
    for (const Bytes& bad : {Bytes{0x53, 0x3B}, Bytes{0x54, 0x3A}}) {
        uint8_t dest[4] = {};
        ResponseReceiver r = Armed(dest, 4);
        Feed(r, bad);
        EXPECT_EQ(r.m_headerIndex, 0);
        Feed(r, {0x53, 0x3A, 0x00, 0x02, 0x00, 0x00});
        EXPECT_EQ(r.m_done, 0xFF);
        EXPECT_EQ(r.m_status, 2);
    }
}

TEST(ResponseReceiverParse, PayloadBeyondTheRoomIsNeverStored) {
    uint8_t dest[8];
    std::fill(std::begin(dest), std::end(dest), 0xEE);
    ResponseReceiver r = Armed(dest, 4);
    Feed(r, {0x53, 0x3A, 0x30, 0x00, 0x06, 0x00, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(Bytes(dest, dest + 8), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(Receive, HeaderWithoutPayloadIsOneRead) {
    comm_journal::Clear();
    comm_journal::Enable(true);
    EXPECT_TRUE(ReceiveAfter({0x53, 0x3A, 0x00, 0x00, 0x00, 0x00}, 16));
    comm_journal::Enable(false);
    EXPECT_EQ(Reads(), 1);
    EXPECT_EQ(theResponseReceiver.m_status, 0);
    EXPECT_EQ(theResponseReceiver.m_received, 0u);
    EXPECT_EQ(theResponseReceiver.m_done, 0xFF);
    EXPECT_TRUE(GuardsIntact(0));
}

TEST_F(Receive, FailureStatusIsAReceivedResponse) {
    EXPECT_TRUE(ReceiveAfter({0x53, 0x3A, 0x13, 0x05, 0x00, 0x00}, 8));
    EXPECT_EQ(theResponseReceiver.m_status, 5);
}

TEST_F(Receive, PayloadIsTheSecondRead) {
    comm_journal::Clear();
    comm_journal::Enable(true);
    EXPECT_TRUE(ReceiveAfter({0x53, 0x3A, 0x30, 0x00, 0x03, 0x00, 0x41, 0x42, 0x43}, 3));
    comm_journal::Enable(false);
    EXPECT_EQ(Reads(), 2);
    EXPECT_EQ(theResponseReceiver.m_received, 3u);
    EXPECT_EQ(Bytes(destination + kGuard, destination + kGuard + 3), (Bytes{0x41, 0x42, 0x43}));
    EXPECT_TRUE(GuardsIntact(3));
}

TEST_F(Receive, FullChunkOf512Fits) {
    Bytes answer = {0x53, 0x3A, 0x30, 0x00, 0x00, 0x02};
    for (int i = 0; i < 512; ++i) answer.push_back(static_cast<uint8_t>(i * 7));
    EXPECT_TRUE(ReceiveAfter(answer, 512));
    EXPECT_EQ(theResponseReceiver.m_received, 512u);
    EXPECT_TRUE(std::equal(answer.begin() + 6, answer.end(), destination + kGuard));
    EXPECT_TRUE(GuardsIntact(512));
}

TEST_F(Receive, LengthBeyond512FailsWithNothingStored) {
    Bytes answer = {0x53, 0x3A, 0x30, 0x00, 0x01, 0x02};  // 513
    answer.resize(6 + 513, 0x11);
    EXPECT_FALSE(ReceiveAfter(answer, 600));
    EXPECT_TRUE(GuardsIntact(0));
}

TEST_F(Receive, LengthBeyondTheRoomFailsWithNothingStored) {
    EXPECT_FALSE(ReceiveAfter({0x53, 0x3A, 0x10, 0x00, 0x09, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 8));
    EXPECT_TRUE(GuardsIntact(0));
    // The next exchange is not confused by the unread payload once it is purged.
    theSerialChannel.Purge();
    EXPECT_TRUE(ReceiveAfter({0x53, 0x3A, 0x10, 0x00, 0x05, 0x00, 7, 0, 4, 0, 0}, 8));
    EXPECT_EQ(theResponseReceiver.m_received, 5u);
}

TEST_F(Receive, StrayBytesAndOtherRequestsAnswersAreReadPast) {
    using O = ReceiveOutcome;
    struct Case {
        const char* what;
        Bytes line;
        int expected;  // the request's command; -1: any
        bool taken;
        O outcome;
        uint32_t strays;
    };
    const Case cases[] = {
        {"second marker byte wrong", {0x53, 0x3B, 0x00, 0x00, 0x00, 0x00}, -1, false, O::kBadFrame, 0},
        {"first marker byte wrong", {0x54, 0x3A, 0x00, 0x00, 0x00, 0x00}, -1, false, O::kBadFrame, 0},
        {"a stray byte first", {0xFF, 0x53, 0x3A, 0x13, 0x00, 0x00, 0x00}, 0x13, true, O::kAnswered, 1},
        {"a marker byte twice", {0x53, 0x53, 0x3A, 0x13, 0x01, 0x00, 0x00}, 0x13, true, O::kAnswered, 1},
        {"a late answer to a read, then ours",
         {0x53, 0x3A, 0x30, 0x00, 0x03, 0x00, 0x53, 0x3A, 0x13, 0x53, 0x3A, 0x13, 0x01, 0x00, 0x00}, 0x13, true,
         O::kAnswered, 9},
        {"a late empty answer, ours, and one more after it",
         {0x53, 0x3A, 0x12, 0x00, 0x00, 0x00, 0x53, 0x3A, 0x13, 0x00, 0x00, 0x00, 0x53, 0x3A, 0x00, 0x00, 0x00, 0x00}, 0x13,
         true, O::kAnswered, 6},
        {"a late answer alone", {0x53, 0x3A, 0x30, 0x00, 0x00, 0x00}, 0x13, false, O::kNoAnswer, 0},
        {"a header inside a damaged answer's payload",
         {0x53, 0x3B, 0x30, 0x00, 0x08, 0x00, 0x53, 0x3A, 0x13, 0x00, 0x00, 0x00, 0x01, 0x02}, 0x13, false,
         O::kBadFrame, 0},
        {"cut short", {0x53, 0x3A, 0x13, 0x00, 0x05, 0x00, 0x61}, 0x13, false, O::kCutShort, 0},
        {"silence", {}, 0x13, false, O::kNoAnswer, 0},
    };
    theResponseReceiver.m_waitMs = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        theSerialChannel.Purge();
        theResponseReceiver.m_expectedCommand = c.expected;
        EXPECT_EQ(ReceiveAfter(c.line, 8), c.taken);
        EXPECT_EQ(theResponseReceiver.m_outcome, c.outcome);
        if (c.taken) {
            EXPECT_EQ(theResponseReceiver.m_strayBytes, c.strays);
        }
        EXPECT_TRUE(GuardsIntact(c.taken ? theResponseReceiver.m_received : 0));
    }
    theResponseReceiver.m_waitMs = kResponseWaitMs;
}

TEST_F(Receive, PartialPayloadFailsAndStoresNothingThenTheNextExchangeParses) {
    // 2 s for the rest that never comes.
    EXPECT_FALSE(ReceiveAfter({0x53, 0x3A, 0x30, 0x00, 0x05, 0x00, 0x61, 0x62}, 5));
    EXPECT_TRUE(GuardsIntact(0));
    EXPECT_EQ(theResponseReceiver.m_phase, 1);
    theSerialChannel.Purge();
    EXPECT_TRUE(ReceiveAfter({0x53, 0x3A, 0x30, 0x00, 0x02, 0x00, 0x71, 0x72}, 5));
    EXPECT_EQ(theResponseReceiver.m_received, 2u);
    EXPECT_EQ(destination[kGuard], 0x71);
}

TEST_F(Receive, SilenceIsNoAnswerAfterTheLimit) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReceiveAfter({}, 8));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 1990);
    EXPECT_LT(ms.count(), 3000);
}

TEST(ReceiveClosed, NoPortOpenIsNoAnswer) {
    theSerialChannel.Close(true);
    uint8_t dest[8];
    theResponseReceiver.SetDestination(dest, 8);
    EXPECT_FALSE(theResponseReceiver.ReceiveResponse());
}

TEST(CommandHeader, MarkerCommandHandleAndLittleEndianLength) {
    uint8_t out[6];
    PutCommandHeader(out, 0x20, 0x07, 0x01E8);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x55, 0x3A, 0x20, 0x07, 0xE8, 0x01}));
}
