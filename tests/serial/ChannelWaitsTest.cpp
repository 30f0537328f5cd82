// The channel's wait for the first byte of an answer, with comm events as
// Windows reports them, and the idle hook that runs while the channel waits.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SerialTestSupport.h"
#include "tests/support/Timing.h"

namespace {

const Bytes kAnswer = {0x53, 0x3A, 0x00, 0x00, 0x00, 0x00};

// Puts the answer into the queue at the moment the channel sets its event
// mask: after it found the queue empty, before the mask takes hold.
struct AnswerBeforeTheMask {
    PtyPeer* peer;
    bool written = false;
    bool queued = false;

    static void OnCall(const std::string& entry, void* context) {
        auto* self = static_cast<AnswerBeforeTheMask*>(context);
        if (entry != "SetCommMask(EV_RXCHAR)" || self->written) return;
        self->written = true;
        self->peer->Write(kAnswer);
        self->queued = self->peer->AwaitQueuedForProgram(kAnswer.size(), 1000);
    }
};

struct IdleCount {
    int calls = 0;
    static void Count(void* context) { ++static_cast<IdleCount*>(context)->calls; }
};

}  // namespace

// Windows records no character event for bytes already queued when the mask
// is set, so the wait runs out with the answer sitting in the queue.
TEST_F(OpenChannel, AnswerLandingJustBeforeTheMaskIsReadWhenTheWaitRunsOut) {
    WindowsCommEvents windows;
    Journal journal;
    AnswerBeforeTheMask race{&peer};
    journal.OnCall(&AnswerBeforeTheMask::OnCall, &race);
    uint8_t buffer[6] = {};
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 300), kSerialOk);
    const long ms = ElapsedMs(start);
    ASSERT_TRUE(race.written);
    ASSERT_TRUE(race.queued);
    EXPECT_GE(ms, 290);  // the wait itself did not see the answer
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(Bytes(buffer, buffer + 6), kAnswer);
    EXPECT_TRUE(journal.Saw("SetCommMask(0)"));
    EXPECT_TRUE(peer.ReadUntilQuiet(20).empty());
}

TEST_F(OpenChannel, AnswerAfterTheMaskEndsTheWaitAtOnceWithWindowsEvents) {
    WindowsCommEvents windows;
    std::thread answer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Write(kAnswer);
    });
    uint8_t buffer[6] = {};
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 2000), kSerialOk);
    const long ms = ElapsedMs(start);
    answer.join();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(Bytes(buffer, buffer + 6), kAnswer);
    // And silence is still 209 after the wait.
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 100), kSerialNoByte);
}

TEST_F(OpenChannel, IdleHookRunsThroughASilentWaitWithoutShorteningIt) {
    IdleCount idle;
    channel.SetIdleHook(&IdleCount::Count, &idle);
    uint8_t buffer[6];
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 600), kSerialNoByte);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 595);
    EXPECT_LT(ms, 800);
    const int slices = 600 / static_cast<int>(SerialChannel::kIdleSliceMs);
    EXPECT_GE(idle.calls, slices / 2);
    EXPECT_LE(idle.calls, slices + 1);
}

TEST_F(OpenChannel, IdleHookRunsWhileAWriteCannotLeave) {
    IdleCount idle;
    channel.SetIdleHook(&IdleCount::Count, &idle);
    peer.StopSlaveOutput();
    const uint8_t frame[6] = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    const auto start = Clock::now();
    EXPECT_EQ(channel.Send(frame, 6), kSerialWriteFailed);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 1195);  // 6 bytes x factor 2 x 100 ms
    EXPECT_LT(ms, 1500);
    EXPECT_GE(idle.calls, 1200 / static_cast<int>(SerialChannel::kIdleSliceMs) / 2);
    peer.ResumeSlaveOutput();
}

TEST_F(OpenChannel, IdleHookLeavesAnExchangeAsItWas) {
    // A request, and an answer of header and payload that comes in two
    // parts, each after a pause long enough for the hook to run.
    const Bytes request = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    const Bytes answer = {0x53, 0x3A, 0x00, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44};
    auto exchange = [&](Bytes* got) {
        got->assign(answer.size(), 0);
        int result = channel.Send(request.data(), 6);
        if (result != kSerialOk) return result;
        EXPECT_EQ(peer.ReadExactly(6, 1000), request);
        std::thread module([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            peer.Write(Bytes(answer.begin(), answer.begin() + 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            peer.Write(Bytes(answer.begin() + 3, answer.end()));
        });
        result = channel.WaitAndRead(got->data(), 6, 1000);
        if (result == kSerialOk) result = channel.WaitAndRead(got->data() + 6, 4, 1000);
        module.join();
        return result;
    };
    Bytes plain, hooked;
    const int plainResult = exchange(&plain);
    IdleCount idle;
    channel.SetIdleHook(&IdleCount::Count, &idle);
    const int hookedResult = exchange(&hooked);
    EXPECT_EQ(plainResult, kSerialOk);
    EXPECT_EQ(plain, answer);
    EXPECT_EQ(hookedResult, plainResult);
    EXPECT_EQ(hooked, plain);
    EXPECT_GE(idle.calls, 2);
}
