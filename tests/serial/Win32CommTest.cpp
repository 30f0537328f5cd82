// The Linux provider of the Win32 comm subset, called directly.
#include "serial/posix/Win32Comm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "SerialTestSupport.h"
#include "tests/support/Timing.h"

namespace {

HANDLE OpenPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

class Port : public ::testing::Test {
protected:
    void SetUp() override {
        peer.ExportAs(6);
        port = OpenPort("COM6");
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    void TearDown() override {
        CloseHandle(event);
        CloseHandle(port);
    }
    OVERLAPPED Fresh() const {
        OVERLAPPED ov{};
        ov.hEvent = event;
        return ov;
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }
    // With a comm-event wait pending on ov, the peer sends a byte 50 ms
    // later: the wait reports it.
    void PeerByteEndsTheWait(OVERLAPPED* ov, const DWORD& mask, uint8_t byte) {
        std::thread later([this, byte] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            peer.Write({byte});
        });
        EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
        later.join();
        DWORD n = 0;
        EXPECT_TRUE(GetOverlappedResult(port, ov, &n, FALSE));
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    }
    PtyPeer peer;
    HANDLE port = nullptr;
    HANDLE event = nullptr;
};

}  // namespace

TEST(Win32CommOpen, NamesMapToDevicesOrAreRefused) {
    PtyPeer peer;
    HANDLE byPath = OpenPort(peer.SlavePath().c_str());
    EXPECT_NE(byPath, INVALID_HANDLE_VALUE);
    CloseHandle(byPath);

    for (const char* name : {"LPT1", "COM", "COM0", "COM1x", "", "\\\\.\\COM1"}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
    // Not a terminal.
    char file[] = "/tmp/tovrel-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(OpenPort(file), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    close(fd);
    unlink(file);
}

TEST(Win32CommOpen, UnsupportedArgumentsAreRefused) {
    PtyPeer peer;
    const char* path = peer.SlavePath().c_str();
    EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 1, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
}

TEST(Win32CommOpen, SecondOpenIsASharingViolationUntilTheFirstCloses) {
    PtyPeer peer;
    HANDLE first = OpenPort(peer.SlavePath().c_str());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(peer.SlavePath().c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(first);
    HANDLE second = OpenPort(peer.SlavePath().c_str());
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
}

TEST(Win32CommHandles, StaleAndForeignHandlesAreRefused) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_FALSE(PurgeComm(nullptr, PURGE_RXCLEAR));
    EXPECT_FALSE(PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Win32CommHandles, WaitOnAnIdleEventSleepsTheWholeTime) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const double cpu = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 195);
    EXPECT_LT(CpuMs() - cpu, 20.0);
    CloseHandle(event);
    HANDLE signalled = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(signalled, 1000), WAIT_OBJECT_0);
    CloseHandle(signalled);
}

TEST_F(Port, ReadFinishesAtOnceWhenTheBytesAreQueued) {
    peer.Write({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint8_t buffer[3] = {};
    DWORD n = 0;
    OVERLAPPED ov = Fresh();
    EXPECT_TRUE(ReadFile(port, buffer, 3, &n, &ov));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(Port, PendingReadCompletesInsideTheWait) {
    uint8_t buffer[4] = {};
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Write({7, 8});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Write({9, 10});
    });
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    later.join();
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{7, 8, 9, 10}));
}

TEST_F(Port, CancelledReadReportsAbortAndKeepsWhatItMoved) {
    uint8_t buffer[4] = {};
    OVERLAPPED ov = Fresh();
    peer.Write({5});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(CancelIo(port));
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buffer[0], 5);
    // Bytes arriving after the cancel do not land in the old buffer.
    buffer[1] = 0xEE;
    peer.Write({6});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(buffer[1], 0xEE);
}

TEST_F(Port, TotalReadTimeoutEndsTheReadSuccessfullyWithWhatCame) {
    SetTimeouts(0, 100, 0);  // 100 ms a byte, 4 bytes: 400 ms
    peer.Write({1});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint8_t buffer[4];
    OVERLAPPED ov = Fresh();
    const auto start = Clock::now();
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_GE(ElapsedMs(start), 390);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, 1u);
}

TEST_F(Port, IntervalMaxReturnsAtOnceWithWhatIsQueued) {
    SetTimeouts(MAXDWORD, 0, 0);
    uint8_t buffer[4];
    DWORD n = 99;
    OVERLAPPED ov = Fresh();
    EXPECT_TRUE(ReadFile(port, buffer, 4, &n, &ov));
    EXPECT_EQ(n, 0u);
}

TEST_F(Port, CommEventWaitsForTheFirstByteAndMaskChangeEndsIt) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0xFFFF;
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    PeerByteEndsTheWait(&ov, mask, 0x53);
    DWORD n = 0;

    // With a byte queued it finishes at once; after a purge it is pending,
    // and a new mask completes it with nothing.
    OVERLAPPED again = Fresh();
    EXPECT_TRUE(WaitCommEvent(port, &mask, &again));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    OVERLAPPED third = Fresh();
    ASSERT_FALSE(WaitCommEvent(port, &mask, &third));
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port, &third, &n, FALSE));
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(WaitCommEvent(port, &mask, &third));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Port, OutputPurgeLeavesWhatThePeerHasNotReadYet) {
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    OVERLAPPED ov = Fresh();
    ASSERT_TRUE(WriteFile(port, bytes, 5, nullptr, &ov));
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(peer.ReadExactly(5, 500), Bytes(bytes, bytes + 5));
}

TEST_F(Port, QueueStateCountsReceivedBytes) {
    peer.Write({1, 2, 3, 4, 5, 6, 7});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    COMSTAT stat{};
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(errors, 0u);
}

TEST_F(Port, LineSettingsAreCheckedAndModemLinesAbsentOnAPseudoTerminal) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 56000;
    dcb.ByteSize = 8;
    EXPECT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(peer.Line().rate, 56000u);
    dcb.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    dcb.ByteSize = 8;
    dcb.BaudRate = 0;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_FALSE(EscapeCommFunction(port, CLRDTR));
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupComm(port, 65536, 65536));
    EXPECT_FALSE(SetupComm(port, 0, 65536));
}

TEST_F(Port, HangUpCompletesPendingOperationsWithDeviceRemoved) {
    uint8_t buffer[4];
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    std::thread pull([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.HangUp();
    });
    const double cpu = CpuMs();
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    pull.join();
    EXPECT_LT(CpuMs() - cpu, 50.0);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);

    const uint8_t frame[2] = {0x55, 0x3A};
    OVERLAPPED write = Fresh();
    EXPECT_FALSE(WriteFile(port, frame, 2, nullptr, &write));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);

    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    OVERLAPPED wait = Fresh();
    const BOOL atOnce = WaitCommEvent(port, &mask, &wait);
    if (!atOnce && GetLastError() == ERROR_IO_PENDING) {
        const auto start = Clock::now();
        EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
        EXPECT_LT(ElapsedMs(start), 500);
        EXPECT_FALSE(GetOverlappedResult(port, &wait, &n, FALSE));
    } else {
        EXPECT_FALSE(atOnce);
    }
}

TEST_F(Port, StoppedOutputLeavesTheWritePendingUntilCancelled) {
    peer.StopSlaveOutput();
    const uint8_t bytes[3] = {1, 2, 3};
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(WriteFile(port, bytes, 3, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const double cpu = CpuMs();
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
    EXPECT_LT(CpuMs() - cpu, 20.0);
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    peer.ResumeSlaveOutput();
}

// Write time-outs end a write that has not finished by then: successfully,
// with the bytes that have left, as on Windows.
TEST_F(Port, WriteTimeoutEndsAStoppedWriteWithNothingMoved) {
    COMMTIMEOUTS t{};
    t.WriteTotalTimeoutMultiplier = 10;
    t.WriteTotalTimeoutConstant = 50;  // 3 bytes: 80 ms
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    peer.StopSlaveOutput();
    const uint8_t bytes[3] = {1, 2, 3};
    OVERLAPPED ov = Fresh();
    const auto start = Clock::now();
    ASSERT_FALSE(WriteFile(port, bytes, 3, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const double cpu = CpuMs();
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_LT(CpuMs() - cpu, 20.0);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 78);
    EXPECT_LT(ms, 1000);
    DWORD n = 99;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, 0u);
    // The rest of a timed-out write is not sent later.
    peer.ResumeSlaveOutput();
    EXPECT_TRUE(peer.ReadUntilQuiet(50).empty());
}

TEST_F(Port, WriteTimeoutOnAFullLineCountsWhatThePeerGets) {
    COMMTIMEOUTS t{};
    t.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    Bytes bytes(256 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i ^ (i >> 9));
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, bytes.size());
    EXPECT_EQ(peer.ReadUntilQuiet(100), Bytes(bytes.begin(), bytes.begin() + n));
}

// Windows' comm events: SetCommMask starts a new history, and a wait
// reports only bytes that came after that or after the last report.
TEST_F(Port, EdgeTriggeredCommEventsReportOnlyNewBytes) {
    WindowsCommEvents windows;
    peer.Write({1, 2});
    ASSERT_TRUE(peer.AwaitQueuedForProgram(2, 1000));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    OVERLAPPED ov = Fresh();
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const double cpu = CpuMs();
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);  // queued before the mask: no event
    EXPECT_LT(CpuMs() - cpu, 50.0);
    PeerByteEndsTheWait(&ov, mask, 3);
    DWORD n = 0;

    // Reported: the next wait needs new bytes, and bytes that come between
    // the mask and the wait count.
    OVERLAPPED second = Fresh();
    EXPECT_FALSE(WaitCommEvent(port, &mask, &second));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    EXPECT_TRUE(GetOverlappedResult(port, &second, &n, FALSE));
    peer.Write({4});
    ASSERT_TRUE(peer.AwaitQueuedForProgram(4, 1000));
    OVERLAPPED third = Fresh();
    EXPECT_TRUE(WaitCommEvent(port, &mask, &third));

    // Bytes the program has taken, or purged, are no longer counted: one new
    // byte is an event though fewer are queued than before.
    auto awaitOneNewByte = [&](uint8_t value) {
        OVERLAPPED wait = Fresh();
        ASSERT_FALSE(WaitCommEvent(port, &mask, &wait));
        PeerByteEndsTheWait(&wait, mask, value);
    };
    uint8_t buffer[4];
    OVERLAPPED read = Fresh();
    ASSERT_TRUE(ReadFile(port, buffer, 4, &n, &read));
    ASSERT_NO_FATAL_FAILURE(awaitOneNewByte(5));
    peer.Write({6, 7});
    ASSERT_TRUE(peer.AwaitQueuedForProgram(3, 1000));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    OVERLAPPED fourth = Fresh();
    EXPECT_TRUE(WaitCommEvent(port, &mask, &fourth));  // they came before the purge
    ASSERT_NO_FATAL_FAILURE(awaitOneNewByte(8));
}
