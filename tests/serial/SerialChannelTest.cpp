#include "serial/SerialChannel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "SerialTestSupport.h"
#include "tests/support/Timing.h"

TEST(SerialChannelSelection, FreshChannelIsClosedOnCom1At9600WithFactorOne) {
    SerialChannel channel;
    EXPECT_EQ(channel.m_hComm, nullptr);
    EXPECT_EQ(channel.m_hEvent, nullptr);
    EXPECT_STREQ(channel.m_pszPortName, "COM1");
    EXPECT_EQ(channel.m_nBaudRate, 9600);
    EXPECT_EQ(channel.m_nByteFactor, 1);
}

TEST(SerialChannelSelection, PortNumbersOutsideOneToSixFallBackToCom1) {
    SerialChannel channel;
    EXPECT_EQ(channel.SelectPort(6), 1);
    EXPECT_STREQ(channel.m_pszPortName, "COM6");
    EXPECT_EQ(channel.SelectPort(0), 0);
    EXPECT_STREQ(channel.m_pszPortName, "COM1");
    channel.SelectPort(3);
    EXPECT_EQ(channel.SelectPort(7), 0);
    EXPECT_STREQ(channel.m_pszPortName, "COM1");
    EXPECT_EQ(channel.SelectPort(-1), 0);
    EXPECT_EQ(channel.SelectPort(2), 1);
    EXPECT_STREQ(channel.m_pszPortName, "COM2");
}

TEST(SerialChannelSelection, EveryTableRateGivesItsFactor) {
    const struct {
        int rate, factor;
    } table[] = {{110, 91},  {300, 34},   {600, 17},   {1200, 9},   {2400, 5},   {4800, 3},     {9600, 2},
                 {14400, 1}, {19200, 1},  {38400, 1},  {56000, 1},  {57600, 1},  {115200, 1}};
    SerialChannel channel;
    for (const auto& row : table) {
        EXPECT_EQ(channel.SelectBaudRate(row.rate), 1) << row.rate;
        EXPECT_EQ(channel.m_nBaudRate, row.rate);
        EXPECT_EQ(channel.m_nByteFactor, row.factor) << row.rate;
    }
}

TEST(SerialChannelSelection, UnknownRateTakes9600AndKeepsTheFactor) {
    SerialChannel channel;
    channel.SelectBaudRate(110);
    EXPECT_EQ(channel.SelectBaudRate(250), 0);
    EXPECT_EQ(channel.m_nBaudRate, 9600);
    EXPECT_EQ(channel.m_nByteFactor, 91);
    EXPECT_EQ(channel.SelectBaudRate(0), 0);
    EXPECT_EQ(channel.m_nByteFactor, 91);
}

TEST_F(OpenChannel, AppliesEightNoneOneWithoutFlowControl) {
    EXPECT_NE(channel.m_hComm, nullptr);
    EXPECT_NE(channel.m_hEvent, nullptr);
    const TermiosLine line = peer.Line();
    EXPECT_EQ(line.rate, 9600u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 0);
    EXPECT_FALSE(line.rtsCts);
    EXPECT_FALSE(line.xonXoffIn);
    EXPECT_FALSE(line.xonXoffOut);

    const DCB& dcb = channel.m_dcb;
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 512);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST_F(OpenChannel, OpenWhileOpenLeavesPortAndEventAlone) {
    const HANDLE port = channel.m_hComm;
    const HANDLE event = channel.m_hEvent;
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialWrongState);
    EXPECT_EQ(channel.m_hComm, port);
    EXPECT_EQ(channel.m_hEvent, event);
    // Still usable.
    const uint8_t frame[6] = {0x55, 0x3A, 0, 0, 0, 0};
    EXPECT_EQ(channel.Send(frame, 6), kSerialOk);
    EXPECT_EQ(peer.ReadExactly(6, 1000), Bytes(frame, frame + 6));
}

TEST_F(OpenChannel, CloseReturnsToClosedAndAllowsReopen) {
    channel.Close(true);
    EXPECT_EQ(channel.m_hComm, nullptr);
    EXPECT_EQ(channel.m_hEvent, nullptr);
    {
        Journal journal;
        channel.Close(true);
        EXPECT_TRUE(journal.Calls().empty());
    }
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialOk);
}

// Whatever a port's settings were, a use of the channel leaves them so:
// each row is set on the terminal, the channel opens, sends at another rate
// and closes, and the terminal's termios must equal what was set.
TEST(SerialChannelClose, LeavesTheLineSettingsAsOpenFoundThem) {
    struct Found {
        speed_t speed;
        tcflag_t iflag, oflag, cflag, lflag;
        cc_t vmin, vtime, vintr;
    };
    const Found rows[] = {
        {B1200, ICRNL | IXON | IXOFF, OPOST | ONLCR, CRTSCTS | CSTOPB | HUPCL | CREAD,
         ICANON | ECHO | ECHOE | ISIG | IEXTEN, 4, 7, 0x05},
        {B57600, IGNBRK | INPCK, 0, CREAD | HUPCL, ECHO, 0, 10, 0x03},
        {B300, 0, OPOST, CREAD | CLOCAL | CRTSCTS, ICANON, 1, 0, 0x7F},
    };
    for (const Found& row : rows) {
        PtyPeer peer;
        const int slave = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        termios set{};
        ASSERT_EQ(tcgetattr(slave, &set), 0);
        set.c_iflag = row.iflag;
        set.c_oflag = row.oflag;
        set.c_cflag = row.cflag | CS8;
        set.c_lflag = row.lflag;
        set.c_cc[VMIN] = row.vmin;
        set.c_cc[VTIME] = row.vtime;
        set.c_cc[VINTR] = row.vintr;
        cfsetspeed(&set, row.speed);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &set), 0);
        termios before{};
        ASSERT_EQ(tcgetattr(slave, &before), 0);  // as the terminal keeps them
        ASSERT_EQ(cfgetospeed(&before), row.speed);

        SerialChannel channel;
        channel.SelectPortName(peer.SlavePath().c_str());
        channel.SelectBaudRate(115200);
        ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
        const uint8_t frame[] = {0x57, 0xAB, 0x01};
        ASSERT_EQ(channel.Send(frame, sizeof frame), kSerialOk);
        EXPECT_EQ(peer.ReadExactly(sizeof frame, 1000).size(), sizeof frame);
        ASSERT_EQ(channel.ApplyLineSettings(4800, 8, 0, 0), kSerialOk);
        EXPECT_EQ(peer.Line().rate, 4800u);  // the channel's settings did apply
        channel.Close(true);

        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
        close(slave);
    }
}

TEST(SerialChannelOpen, MissingPortGives101AndStaysClosed) {
    setenv("TOVREL_COM5", "/dev/tovrel-no-such-port", 1);
    SerialChannel channel;
    channel.SelectPort(5);
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialOpenFailed);
    EXPECT_EQ(channel.m_hComm, nullptr);
    EXPECT_EQ(channel.m_hEvent, nullptr);
    unsetenv("TOVREL_COM5");
}

TEST(SerialChannelOpen, PortHeldByAnotherChannelGives101) {
    PtyPeer peer;
    peer.ExportAs(2);
    SerialChannel first, second;
    first.SelectPort(2);
    second.SelectPort(2);
    ASSERT_EQ(first.Open(8, 0, 0), kSerialOk);
    EXPECT_EQ(second.Open(8, 0, 0), kSerialOpenFailed);
    EXPECT_EQ(second.m_hComm, nullptr);
    first.Close(true);
    EXPECT_EQ(second.Open(8, 0, 0), kSerialOk);
}

TEST(SerialChannelOpen, PortHeldByAnotherProcessGives101) {
    PtyPeer peer;
    peer.ExportAs(3);
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    if (child == 0) {
        SerialChannel holder;
        holder.SelectPort(3);
        const char ok = holder.Open(8, 0, 0) == kSerialOk ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    SerialChannel channel;
    channel.SelectPort(3);
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialOpenFailed);
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(channel.Open(8, 0, 0), kSerialOk);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST(SerialChannelOpen, ByteSizeOutsideFiveToEightOpensWithEight) {
    PtyPeer peer;
    peer.ExportAs(1);
    for (int size : {4, 9, 0}) {
        SerialChannel channel;
        ASSERT_EQ(channel.Open(size, 0, 0), kSerialOk);
        EXPECT_EQ(channel.m_dcb.ByteSize, 8) << size;
        EXPECT_EQ(peer.Line().byteSize, 8) << size;
    }
}

TEST(SerialChannelOpen, SevenBitsEvenParityReachTheLine) {
    PtyPeer peer;
    peer.ExportAs(1);
    SerialChannel channel;
    ASSERT_EQ(channel.Open(7, 0, 2), kSerialOk);
    EXPECT_EQ(channel.m_dcb.ByteSize, 7);
    EXPECT_EQ(channel.m_dcb.Parity, 2);
    EXPECT_EQ(channel.m_dcb.fParity, 1u);
    // A pseudo-terminal forces 8 bits without parity; parity checking shows.
    EXPECT_TRUE(peer.Line().parityCheck);
}

TEST(SerialChannelOpen, ParityAndStopBitVariantsReachTheLine) {
    PtyPeer peer;
    peer.ExportAs(1);
    const struct {
        int parity, stopBits, expectStop;
    } cases[] = {{1, 0, 0}, {3, 2, 2}, {4, 1, 2}, {0, 2, 2}};
    for (const auto& c : cases) {
        SerialChannel channel;
        ASSERT_EQ(channel.Open(6, c.stopBits, c.parity), kSerialOk);
        EXPECT_EQ(channel.m_dcb.ByteSize, 6);
        EXPECT_EQ(channel.m_dcb.Parity, c.parity);
        EXPECT_EQ(channel.m_dcb.StopBits, c.stopBits);
        const TermiosLine line = peer.Line();
        EXPECT_EQ(line.stopBits, c.expectStop);
        EXPECT_EQ(line.parityCheck, c.parity != 0);
    }
}

TEST(SerialChannelOpen, EveryTableRateIsReallyApplied) {
    PtyPeer peer;
    peer.ExportAs(1);
    for (int rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200}) {
        SerialChannel channel;
        channel.SelectBaudRate(rate);
        ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
        EXPECT_EQ(peer.Line().rate, static_cast<uint32_t>(rate));
    }
}

TEST(SerialChannelClosed, OperationsGive102WithoutAPlatformCall) {
    SerialChannel channel;
    Journal journal;
    uint8_t buffer[8] = {};
    EXPECT_EQ(channel.Send(buffer, 6), kSerialWrongState);
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 100), kSerialWrongState);
    EXPECT_EQ(channel.Write(buffer, 6, 100), kSerialWrongState);
    EXPECT_EQ(channel.Read(buffer, 6, 100), kSerialWrongState);
    EXPECT_EQ(channel.Purge(), kSerialWrongState);
    EXPECT_EQ(channel.WatchReceivedChars(), kSerialWrongState);
    EXPECT_EQ(channel.SetReadTimeouts(0), kSerialWrongState);
    EXPECT_EQ(channel.ApplyLineSettings(9600, 8, 0, 0), kSerialWrongState);
    channel.ClearDtr();
    channel.ClearRts();
    channel.Close(true);
    EXPECT_TRUE(journal.Calls().empty());
}

TEST_F(OpenChannel, SendSetsTheReadMultiplierAndWaitAndReadClearsIt) {
    const uint8_t frame[6] = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    ASSERT_EQ(channel.Send(frame, 6), kSerialOk);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(channel.m_hComm, &t));
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10001u);
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    peer.Write({0x53, 0x3A});
    uint8_t buffer[2];
    ASSERT_EQ(channel.WaitAndRead(buffer, 2, 1000), kSerialOk);
    ASSERT_TRUE(GetCommTimeouts(channel.m_hComm, &t));
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
}

TEST_F(OpenChannel, SendThrowsAwayLateBytesOfAnEarlierAnswer) {
    peer.Write({0xAA, 0xBB, 0xCC});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint8_t frame[6] = {0x55, 0x3A, 0x12, 0x00, 0x00, 0x00};
    ASSERT_EQ(channel.Send(frame, 6), kSerialOk);
    EXPECT_EQ(peer.ReadExactly(6, 1000), Bytes(frame, frame + 6));
    peer.Write({0x53, 0x3A, 0x12, 0x00, 0x00, 0x00});
    uint8_t answer[6];
    ASSERT_EQ(channel.WaitAndRead(answer, 6, 1000), kSerialOk);
    EXPECT_EQ(Bytes(answer, answer + 6), (Bytes{0x53, 0x3A, 0x12, 0x00, 0x00, 0x00}));
}

// A name command sends its header and its name in two sends, the second
// purging right after the first: the header must not be taken back.
TEST_F(OpenChannel, NameCommandHeaderAndNameBothReachThePeerEveryTime) {
    const uint8_t header[6] = {0x55, 0x3A, 0x52, 0x00, 0x08, 0x00};
    const uint8_t name[8] = {'U', 'S', 'B', '_', 'H', 'O', 'S', 'T'};
    const Bytes expected = Concat({Bytes(header, header + 6), Bytes(name, name + 8)});
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(channel.Send(header, 6), kSerialOk);
        ASSERT_EQ(channel.Send(name, 8), kSerialOk);
        ASSERT_EQ(peer.ReadExactly(expected.size(), 1000), expected) << "round " << round;
    }
    EXPECT_TRUE(peer.ReadUntilQuiet(20).empty());
}

TEST_F(OpenChannel, EmptySendSucceedsAndSendsNothing) {
    const uint8_t nothing[1] = {0};
    EXPECT_EQ(channel.Send(nothing, 0), kSerialOk);
    EXPECT_TRUE(peer.ReadUntilQuiet(20).empty());
}

// Nothing waits to leave between sends, so a send purges the input side
// only: a platform that flushes the line for an output purge could otherwise
// take back the previous send before the peer has read it.
TEST_F(OpenChannel, SendPurgesOnlyTheInputWhenNoOutputIsQueued) {
    const uint8_t header[6] = {0x55, 0x3A, 0x10, 0xFF, 0x01, 0x00};
    const uint8_t name[1] = {'A'};
    Journal journal;
    ASSERT_EQ(channel.Send(header, 6), kSerialOk);
    ASSERT_EQ(channel.Send(name, 1), kSerialOk);
    std::vector<std::string> purges;
    for (const auto& call : journal.Calls())
        if (call.rfind("PurgeComm", 0) == 0) purges.push_back(call);
    EXPECT_EQ(purges, (std::vector<std::string>{"PurgeComm(input)", "PurgeComm(input)"}));
    EXPECT_EQ(peer.ReadExactly(7, 500), (Bytes{0x55, 0x3A, 0x10, 0xFF, 0x01, 0x00, 'A'}));
}

TEST_F(OpenChannel, WriteThatCannotLeaveIsCancelledAfterItsWait) {
    peer.StopSlaveOutput();
    const uint8_t frame[6] = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    const auto start = Clock::now();
    EXPECT_EQ(channel.Send(frame, 6), kSerialWriteFailed);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 1150);  // 6 bytes x factor 2 x 100 ms at 9600
    EXPECT_LT(ms, 2500);
    EXPECT_NE(channel.m_hComm, nullptr);
    peer.ResumeSlaveOutput();
    peer.ReadUntilQuiet(50);
    EXPECT_EQ(channel.Send(frame, 6), kSerialOk);
}

// Write time-outs belong to the port: the channel keeps whatever its previous
// user left there. A write that runs into them ends "successfully" with the
// bytes moved so far, which for a frame is a failed send.
class LeftWriteTimeouts : public OpenChannel {
protected:
    void LeaveWriteTimeouts(DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{};
        ASSERT_TRUE(GetCommTimeouts(channel.m_hComm, &t));
        t.WriteTotalTimeoutMultiplier = multiplier;
        t.WriteTotalTimeoutConstant = constant;
        ASSERT_TRUE(SetCommTimeouts(channel.m_hComm, &t));
    }
};

TEST_F(LeftWriteTimeouts, FrameThatCouldNotLeaveGives104) {
    ASSERT_NO_FATAL_FAILURE(LeaveWriteTimeouts(10, 100));  // 6 bytes: 160 ms
    peer.StopSlaveOutput();
    const uint8_t frame[6] = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    const auto start = Clock::now();
    EXPECT_EQ(channel.Send(frame, 6), kSerialWriteFailed);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 1000);  // the port's time-out ended it, not the channel's 1200 ms
    EXPECT_NE(channel.m_hComm, nullptr);
    // The send set its read time-outs and kept the write fields as found.
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(channel.m_hComm, &t));
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10001u);
    // Nothing of the frame went out; on a free line the same time-outs are met.
    peer.ResumeSlaveOutput();
    EXPECT_TRUE(peer.ReadUntilQuiet(50).empty());
    EXPECT_EQ(channel.Send(frame, 6), kSerialOk);
    EXPECT_EQ(peer.ReadExactly(6, 1000), Bytes(frame, frame + 6));
}

TEST_F(LeftWriteTimeouts, FrameCutOffPartWayGives104) {
    ASSERT_NO_FATAL_FAILURE(LeaveWriteTimeouts(0, 200));
    // More than the pseudo-terminal holds while the peer reads nothing.
    Bytes frame(256 * 1024);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 251);
    EXPECT_EQ(channel.Send(frame.data(), static_cast<uint32_t>(frame.size())), kSerialWriteFailed);
    const Bytes got = peer.ReadUntilQuiet(100);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), frame.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), frame.begin()));
}

TEST_F(OpenChannel, SilentPeerGives209AfterTheWaitWithTheEventClosed) {
    uint8_t buffer[6];
    Journal journal;
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 300), kSerialNoByte);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 1000);
    EXPECT_NE(channel.m_hComm, nullptr);
    const auto calls = journal.Calls();
    int created = 0, closed = 0;
    for (const auto& c : calls) {
        created += c == "CreateEventA";
        closed += c == "CloseHandle(event)";
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(journal.Saw("CancelIo"));
}

TEST_F(OpenChannel, QueuedBytesAreReadWithoutAWaitEvent) {
    peer.Write({1, 2, 3, 4});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Journal journal;
    uint8_t buffer[4];
    ASSERT_EQ(channel.WaitAndRead(buffer, 4, 1000), kSerialOk);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_FALSE(journal.Saw("CreateEventA"));
    EXPECT_FALSE(journal.Saw("WaitCommEvent"));
}

TEST_F(OpenChannel, FirstByteWaitThenTheWholeCount) {
    std::thread answer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Write({0x53});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Write({0x3A, 0x00, 0x00, 0x00, 0x00});
    });
    uint8_t buffer[6];
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 1000), kSerialOk);
    answer.join();
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0x53, 0x3A, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(OpenChannel, ShortAnswerGives1033AfterTheFurtherWait) {
    std::thread answer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Write({0x53, 0x3A, 0x00});
    });
    uint8_t buffer[6];
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 300), kSerialReadTimedOut);
    const long ms = ElapsedMs(start);
    answer.join();
    EXPECT_GE(ms, 340);  // the first byte after 50 ms, then the full 300 ms for the rest
    EXPECT_LT(ms, 1000);
    EXPECT_NE(channel.m_hComm, nullptr);
    // The cancelled read took the three bytes; the next exchange starts clean.
    peer.Write({0x53, 0x3A, 0x01, 0x00, 0x00, 0x00});
    ASSERT_EQ(channel.WaitAndRead(buffer, 6, 300), kSerialOk);
    EXPECT_EQ(buffer[2], 0x01);
}

// Read time-outs other than 0 (a send leaves 10001 ms a byte) end a read
// "successfully" with what came; the channel does not pass that for whole.
TEST_F(OpenChannel, ReadEndedShortByReadTimeoutsGives1032) {
    ASSERT_EQ(channel.SetReadTimeouts(50), kSerialOk);  // 4 bytes: 200 ms
    peer.Write({0x53});
    uint8_t buffer[4];
    const auto start = Clock::now();
    EXPECT_EQ(channel.Read(buffer, 4, 1000), kSerialReadFailed);
    EXPECT_LT(ElapsedMs(start), 900);
}

TEST_F(OpenChannel, PurgeClearsWhatHasBeenReceived) {
    peer.Write({9, 9, 9});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(channel.Purge(), kSerialOk);
    uint8_t buffer[1];
    EXPECT_EQ(channel.WaitAndRead(buffer, 1, 100), kSerialNoByte);
}

TEST_F(OpenChannel, HangUpDuringTheFirstByteWaitEndsItAtOnceWithoutSpinning) {
    std::thread pull([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.HangUp();
    });
    uint8_t buffer[6];
    const double cpuBefore = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 2000), kSerialNoByte);
    const long ms = ElapsedMs(start);
    pull.join();
    EXPECT_LT(ms, 1500);
    EXPECT_LT(CpuMs() - cpuBefore, 100.0);
    EXPECT_NE(channel.m_hComm, nullptr);
    // Told apart from silence: the port itself is gone.
    EXPECT_TRUE(channel.PortLost());
    EXPECT_EQ(channel.LastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    // A hung-up line fails every later operation promptly, and the channel can be closed.
    const uint8_t frame[6] = {0x55, 0x3A, 0, 0, 0, 0};
    EXPECT_EQ(channel.Send(frame, 6), kSerialWriteFailed);
    const auto again = Clock::now();
    EXPECT_NE(channel.WaitAndRead(buffer, 6, 2000), kSerialOk);
    EXPECT_LT(ElapsedMs(again), 1500);
    channel.Close(true);
    EXPECT_EQ(channel.m_hComm, nullptr);
}

TEST_F(OpenChannel, SilenceIsNoLostPort) {
    uint8_t buffer[6];
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 100), kSerialNoByte);
    EXPECT_FALSE(channel.PortLost());
    EXPECT_EQ(channel.LastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    peer.Write({0x53});
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 100), kSerialReadTimedOut);
    EXPECT_FALSE(channel.PortLost());
}

// The device back under the same name (a pty's slave reopened, as an
// adapter plugged in again): closing and opening again works, with no
// trace of the lost one.
TEST(SerialChannelLost, AClosedLostPortOpensAgainOnceTheDeviceIsBack) {
    SerialChannel channel;
    {
        PtyPeer first;
        first.ExportAs(4);
        channel.SelectPort(4);
        ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
        first.HangUp();
        const uint8_t frame[6] = {0x55, 0x3A, 0, 0, 0, 0};
        EXPECT_EQ(channel.Send(frame, 6), kSerialWriteFailed);
        ASSERT_TRUE(channel.PortLost());
        channel.Close(true);
    }
    PtyPeer second;
    second.ExportAs(4);
    ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
    EXPECT_FALSE(channel.PortLost());
    EXPECT_EQ(channel.LastError(), 0u);
    const uint8_t frame[6] = {0x55, 0x3A, 0, 0, 0, 0};
    EXPECT_EQ(channel.Send(frame, 6), kSerialOk);
    EXPECT_EQ(second.ReadExactly(6, 1000), Bytes(frame, frame + 6));
    channel.Close(true);
}

TEST_F(OpenChannel, HangUpDuringTheReadEndsItWithAReadFailure) {
    std::thread pull([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Write({0x53, 0x3A});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.HangUp();
    });
    uint8_t buffer[6];
    const double cpuBefore = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(channel.WaitAndRead(buffer, 6, 2000), kSerialReadFailed);
    pull.join();
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_LT(CpuMs() - cpuBefore, 100.0);
    EXPECT_TRUE(channel.PortLost());
}

TEST(SerialChannelTeardown, ClosedChannelMakesNoPlatformCall) {
    Journal journal;
    { SerialChannel channel; }
    EXPECT_TRUE(journal.Calls().empty());
}

TEST(SerialChannelTeardown, OpenChannelPurgesDropsLinesThenClosesEventAndPort) {
    PtyPeer peer;
    peer.ExportAs(1);
    auto channel = std::make_unique<SerialChannel>();
    ASSERT_EQ(channel->Open(8, 0, 0), kSerialOk);
    Journal journal;
    channel.reset();
    const std::vector<std::string> expected = {"PurgeComm(all)", "EscapeCommFunction(CLRDTR)", "EscapeCommFunction(CLRRTS)",
                                               "CloseHandle(event)", "CloseHandle(port)"};
    EXPECT_EQ(journal.Calls(), expected);
}

// The global channel's teardown runs at process exit; a child process
// shows it, journalling into a pipe up to its last call.
TEST(SerialChannelTeardown, GlobalChannelTearsDownAtProcessExit) {
    PtyPeer peer;
    peer.ExportAs(4);
    int journalPipe[2];
    ASSERT_EQ(pipe(journalPipe), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(journalPipe[0]);
        theSerialChannel.SelectPort(4);
        if (theSerialChannel.Open(8, 0, 0) != kSerialOk) _exit(3);
        comm_journal::SetSink(journalPipe[1]);
        comm_journal::Enable(true);
        std::exit(0);
    }
    close(journalPipe[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(journalPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(journalPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(out,
              "PurgeComm(all)\nEscapeCommFunction(CLRDTR)\nEscapeCommFunction(CLRRTS)\nCloseHandle(event)\n"
              "CloseHandle(port)\n");
}

TEST(SerialChannelResultCodes, EveryReceiveFailureHasNonZeroLowByte) {
    for (int code : {kSerialRxEventFailed, kSerialWrongState, kSerialNoByte, kSerialReadStartFailed, kSerialReadFailed,
                     kSerialReadTimedOut, kSerialReadWaitFailed}) {
        EXPECT_NE(code & 0xFF, 0) << code;
    }
}

TEST_F(OpenChannel, TraceHookSeesWhatWasSentAndWhatWasDelivered) {
    struct Seen {
        std::vector<std::pair<bool, Bytes>> parts;
    } seen;
    channel.SetTraceHook(
        [](bool outgoing, const uint8_t* bytes, uint32_t length, void* context) {
            static_cast<Seen*>(context)->parts.emplace_back(outgoing, Bytes(bytes, bytes + length));
        },
        &seen);
    const uint8_t frame[6] = {0x55, 0x3A, 0x12, 0x00, 0x00, 0x00};
    ASSERT_EQ(channel.Send(frame, 6), kSerialOk);
    peer.ReadExactly(6, 1000);
    peer.Write({0x53, 0x3A, 0x12, 0x00, 0x00, 0x00});
    uint8_t answer[6];
    ASSERT_EQ(channel.WaitAndRead(answer, 6, 1000), kSerialOk);
    EXPECT_EQ(channel.WaitAndRead(answer, 6, 50), kSerialNoByte);  // failures are not traced
    ASSERT_EQ(seen.parts.size(), 2u);
    EXPECT_TRUE(seen.parts[0].first);
    EXPECT_EQ(seen.parts[0].second, Bytes(frame, frame + 6));
    EXPECT_FALSE(seen.parts[1].first);
    EXPECT_EQ(seen.parts[1].second, (Bytes{0x53, 0x3A, 0x12, 0x00, 0x00, 0x00}));
    channel.SetTraceHook(nullptr, nullptr);
}
