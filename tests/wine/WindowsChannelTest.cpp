// The serial channel over Windows' own comm calls (wine's implementation of
// them), on pseudo-terminals that wine maps to COM ports.
#include <gtest/gtest.h>

#include <thread>

#include "WineSetup.h"
#include "serial/SerialChannel.h"

namespace {

class OpenPort : public ::testing::Test {
protected:
    void OpenOn(int port, int rate = 115200) {
        ASSERT_EQ(theSerialChannel.SelectPort(port), 1);
        ASSERT_EQ(theSerialChannel.SelectBaudRate(rate), 1);
        ASSERT_EQ(theSerialChannel.Open(8, 0, 0), kSerialOk);
    }
    void TearDown() override {
        theSerialChannel.SetIdleHook(nullptr, nullptr);
        theSerialChannel.Close(true);
    }

    // Sends bytes and reads the same count back from the loopback plug.
    int Echo(const Bytes& out, Bytes* back, uint32_t waitMs = 1000) {
        back->assign(out.size(), 0);
        const int sent = theSerialChannel.Send(out.data(), static_cast<uint32_t>(out.size()));
        if (sent != kSerialOk) return sent;
        return theSerialChannel.WaitAndRead(back->data(), static_cast<uint32_t>(back->size()), waitMs);
    }
    // Opens the silent line, sends a request and waits waitMs for an answer,
    // which must not come; how long that took.
    long SilentWaitMs(uint32_t waitMs) {
        OpenOn(kSilentPort);
        const Bytes frame = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
        EXPECT_EQ(theSerialChannel.Send(frame.data(), 6), kSerialOk);
        uint8_t byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(theSerialChannel.WaitAndRead(&byte, 1, waitMs), kSerialNoByte);
        return ElapsedMs(start);
    }
    // Sends bytes and gives the loopback plug time to queue their echo.
    void SendAndAwaitEcho(const Bytes& out) {
        ASSERT_EQ(theSerialChannel.Send(out.data(), static_cast<uint32_t>(out.size())), kSerialOk);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
};

struct IdleCount {
    int calls = 0;
    static void Count(void* context) { ++static_cast<IdleCount*>(context)->calls; }
};

}  // namespace

TEST_F(OpenPort, AppliesEightNoneOneWithoutFlowControl) {
    OpenOn(kLoopbackPort, 9600);
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    EXPECT_NE(theSerialChannel.m_hEvent, nullptr);
    // What the platform holds now, not what the channel asked for.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(theSerialChannel.m_hComm, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(theSerialChannel.m_hComm, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
}

// Wine puts 14400 and 56000 on a pseudo-terminal as 38400; the other module
// rates (and the table's low ones) reach the line as asked.
TEST_F(OpenPort, EveryStandardRateReachesThePlatform) {
    for (int rate : {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
        SCOPED_TRACE(rate);
        OpenOn(kLoopbackPort, rate);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(theSerialChannel.m_hComm, &dcb));
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(rate));
        EXPECT_EQ(theSerialChannel.m_nByteFactor, 10000 / rate + 1);
        theSerialChannel.Close(true);
    }
}

TEST_F(OpenPort, OpenWhileOpenLeavesPortAndEventAlone) {
    OpenOn(kLoopbackPort);
    const HANDLE port = theSerialChannel.m_hComm;
    const HANDLE event = theSerialChannel.m_hEvent;
    EXPECT_EQ(theSerialChannel.Open(8, 0, 0), kSerialWrongState);
    EXPECT_EQ(theSerialChannel.m_hComm, port);
    EXPECT_EQ(theSerialChannel.m_hEvent, event);
}

// A port wine has no device for is missing; one mapped to a path that is
// gone opens under wine but takes no settings. Either way the channel stays
// closed and refuses to send.
TEST(ClosedPort, MissingPortsLeaveTheChannelClosed) {
    SerialChannel unmapped;
    unmapped.SelectPortName("COM9");
    EXPECT_EQ(unmapped.Open(8, 0, 0), kSerialOpenFailed);
    EXPECT_EQ(unmapped.m_hComm, nullptr);

    SerialChannel gone;
    gone.SelectPort(kAbsentPort);
    EXPECT_NE(gone.Open(8, 0, 0), kSerialOk);
    EXPECT_EQ(gone.m_hComm, nullptr);
    EXPECT_EQ(gone.m_hEvent, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(gone.Send(&byte, 1), kSerialWrongState);
    EXPECT_EQ(gone.WaitAndRead(&byte, 1, 10), kSerialWrongState);
}

TEST_F(OpenPort, CloseReturnsToClosedAndAllowsReopen) {
    for (int round = 0; round < 3; ++round) {
        OpenOn(kLoopbackPort);
        theSerialChannel.Close(true);
        EXPECT_EQ(theSerialChannel.m_hComm, nullptr);
        EXPECT_EQ(theSerialChannel.m_hEvent, nullptr);
    }
}

TEST_F(OpenPort, FramesComeBackByteForByteAtEveryModuleRate) {
    for (int rate : {4800, 9600, 19200, 38400, 57600, 115200}) {
        SCOPED_TRACE(rate);
        OpenOn(kLoopbackPort, rate);
        const Bytes frame = Pattern(6 + 512, static_cast<uint32_t>(rate));
        Bytes back;
        EXPECT_EQ(Echo(frame, &back), kSerialOk);
        EXPECT_EQ(back, frame);
        theSerialChannel.Close(true);
    }
}

TEST_F(OpenPort, SendThrowsAwayLateBytesOfAnEarlierExchange) {
    OpenOn(kLoopbackPort);
    ASSERT_NO_FATAL_FAILURE(SendAndAwaitEcho({0x53, 0x3A, 0x01, 0x02}));
    const Bytes frame = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    Bytes back;
    EXPECT_EQ(Echo(frame, &back), kSerialOk);
    EXPECT_EQ(back, frame);
}

TEST_F(OpenPort, QueuedBytesAreReadWithAZeroWait) {
    OpenOn(kLoopbackPort);
    const Bytes frame = Pattern(10);
    ASSERT_NO_FATAL_FAILURE(SendAndAwaitEcho(frame));
    Bytes back(10, 0);
    EXPECT_EQ(theSerialChannel.WaitAndRead(back.data(), 10, 0), kSerialOk);
    EXPECT_EQ(back, frame);
}

TEST_F(OpenPort, PurgeClearsWhatHasBeenReceived) {
    OpenOn(kLoopbackPort);
    ASSERT_NO_FATAL_FAILURE(SendAndAwaitEcho(Pattern(8)));
    EXPECT_EQ(theSerialChannel.Purge(), kSerialOk);
    uint8_t byte = 0;
    EXPECT_EQ(theSerialChannel.WaitAndRead(&byte, 1, 200), kSerialNoByte);
}

TEST_F(OpenPort, ShortAnswerGives1033AfterTheFurtherWait) {
    OpenOn(kLoopbackPort);
    const Bytes frame = Pattern(3);
    ASSERT_EQ(theSerialChannel.Send(frame.data(), 3), kSerialOk);
    Bytes back(5, 0);
    const auto start = Clock::now();
    EXPECT_EQ(theSerialChannel.WaitAndRead(back.data(), 5, 300), kSerialReadTimedOut);
    const long took = ElapsedMs(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 2 * 300 + 1000);
    // The channel goes on after the cancelled read.
    EXPECT_EQ(Echo(frame, &back), kSerialOk);
}

TEST_F(OpenPort, AnswerArrivingWellIntoTheWaitIsStillRead) {
    OpenOn(kLateLoopbackPort);
    const Bytes frame = Pattern(20);
    Bytes back;
    const auto start = Clock::now();
    EXPECT_EQ(Echo(frame, &back, 1000), kSerialOk);
    EXPECT_GE(ElapsedMs(start), 350);
    EXPECT_EQ(back, frame);
    // With a wait shorter than the delay nothing has come yet.
    EXPECT_EQ(Echo(frame, &back, 150), kSerialNoByte);
}

TEST_F(OpenPort, SilentLineGives209AfterTheWaitAndNoMore) {
    const long took = SilentWaitMs(500);
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 1500);
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);  // a time-out does not close the port
}

// The platform abandons the character watch on a pseudo-terminal here, so the
// channel watches the queue instead; the hook runs there too.
TEST_F(OpenPort, IdleHookRunsThroughASilentWaitWithoutShorteningIt) {
    IdleCount idle;
    theSerialChannel.SetIdleHook(&IdleCount::Count, &idle);
    const long took = SilentWaitMs(600);
    EXPECT_GE(took, 595);
    EXPECT_LT(took, 1200);
    EXPECT_GE(idle.calls, 600 / static_cast<int>(SerialChannel::kIdleSliceMs) / 2);
}

TEST_F(OpenPort, IdleHookLeavesALateAnswerAsItWas) {
    OpenOn(kLateLoopbackPort);
    const Bytes frame = Pattern(20);
    Bytes plain, hooked;
    const int plainResult = Echo(frame, &plain);
    IdleCount idle;
    theSerialChannel.SetIdleHook(&IdleCount::Count, &idle);
    EXPECT_EQ(Echo(frame, &hooked), plainResult);
    EXPECT_EQ(plainResult, kSerialOk);
    EXPECT_EQ(hooked, plain);
    EXPECT_EQ(plain, frame);
    EXPECT_GE(idle.calls, 5);  // the answer comes 400 ms late
}

// An adapter pulled mid-exchange: the wait for its answer ends at once, and
// the channel knows the port went away, unlike after silence.
TEST_F(OpenPort, PulledAdapterIsALostPortNotSilence) {
    theSerialChannel.SelectPortName("COM7");
    ASSERT_EQ(theSerialChannel.SelectBaudRate(9600), 1);
    ASSERT_EQ(theSerialChannel.Open(8, 0, 0), kSerialOk);
    const Bytes frame = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(theSerialChannel.Send(frame.data(), 6), kSerialOk);
    uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_NE(theSerialChannel.WaitAndRead(&byte, 1, 2000), kSerialOk);
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_TRUE(theSerialChannel.PortLost()) << "error " << theSerialChannel.LastError();

    // Once it is back, closing and opening again works.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    theSerialChannel.Close(true);
    ASSERT_EQ(theSerialChannel.Open(8, 0, 0), kSerialOk);
    EXPECT_FALSE(theSerialChannel.PortLost());

    // Silence is no lost port.
    theSerialChannel.Close(true);
    OpenOn(kSilentPort);
    EXPECT_EQ(theSerialChannel.Send(frame.data(), 6), kSerialOk);
    EXPECT_EQ(theSerialChannel.WaitAndRead(&byte, 1, 200), kSerialNoByte);
    EXPECT_FALSE(theSerialChannel.PortLost());
}
