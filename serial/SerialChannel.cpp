#include "SerialChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

SerialChannel theSerialChannel;

namespace {

const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

const int kBaudRates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

constexpr DWORD kQueueSize = 65536;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr int kSendReadMultiplier = 10001;

// A cancelled operation may still be finishing inside the platform; its
// record, buffer and event must outlive it, so wait for the end. It may also
// have finished just before the cancel took hold: true then, with what it
// moved, so bytes already taken from the queue are not dropped.
bool CancelAndAwait(HANDLE port, OVERLAPPED* ov, DWORD* moved) {
    CancelIo(port);
    *moved = 0;
    return GetOverlappedResult(port, ov, moved, TRUE) != FALSE;
}

// Bytes waiting in the input queue, or -1 with *error when the port cannot
// say.
int64_t QueuedInputOf(HANDLE port, DWORD* error) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port, &errors, &stat)) {
        *error = GetLastError();
        return -1;
    }
    return stat.cbInQue;
}

// The errors with which calls on an open port fail once its device has gone.
bool IsPortLostError(DWORD error) {
#ifdef _WIN32
    // Drivers differ: usbser answers ERROR_ACCESS_DENIED, which an open
    // handle meets for no other reason, FTDI's ERROR_BAD_COMMAND, wine on a
    // hung-up line ERROR_NOT_READY.
    return error == ERROR_DEVICE_REMOVED || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_NOT_READY;
#else
    return error == ERROR_DEVICE_REMOVED;
#endif
}

// Windows opens COM10 and above only through the device namespace.
std::string PlatformPortName(const char* name) {
#ifdef _WIN32
    if (_strnicmp(name, "COM", 3) == 0 && std::strlen(name) > 4) return std::string("\\\\.\\") + name;
#endif
    return name;
}

// The output side is purged only when something is queued there: no write
// of ours is outstanding between sends, and where the platform flushes the
// line itself for either output flag (wine on a pseudo-terminal drops bytes
// the peer has not read yet) a request's header would be lost to the purge
// that starts the send of its name.
void PurgeBeforeSend(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat{};
    DWORD flags = kPurgeAll;
    if (ClearCommError(port, &errors, &stat) && stat.cbOutQue == 0) flags = PURGE_RXABORT | PURGE_RXCLEAR;
    (void)PurgeComm(port, flags);
}

using WaitClock = std::chrono::steady_clock;

// Some drivers abandon a character watch as soon as it starts (wine on a
// pseudo-terminal completes it as aborted at once). The queue is watched
// instead, in short sleeps, until a byte is there or the wait has run out;
// an idle hook is called about as often as during an event wait.
bool PollForQueuedByte(HANDLE port, WaitClock::time_point deadline, SerialChannel::IdleHook hook, void* context,
                       DWORD* error) {
    auto nextIdle = WaitClock::now() + std::chrono::milliseconds(SerialChannel::kIdleSliceMs);
    for (;;) {
        const int64_t queued = QueuedInputOf(port, error);
        if (queued != 0) return queued > 0;
        const auto now = WaitClock::now();
        if (now >= deadline) return false;
        if (hook != nullptr && now >= nextIdle) {
            hook(context);
            nextIdle = WaitClock::now() + std::chrono::milliseconds(SerialChannel::kIdleSliceMs);
        }
        std::this_thread::sleep_for(std::min<WaitClock::duration>(deadline - now, std::chrono::milliseconds(2)));
    }
}

}  // namespace

DWORD SerialChannel::AwaitEvent(HANDLE event, uint32_t waitMs) {
    if (m_idleHook == nullptr) return WaitForSingleObject(event, waitMs);
    // In slices, with the hook between them; the total stays waitMs.
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - WaitClock::now()).count();
        const DWORD slice = static_cast<DWORD>(std::clamp<long long>(left, 0, kIdleSliceMs));
        const DWORD waited = WaitForSingleObject(event, slice);
        if (waited != WAIT_TIMEOUT || left <= static_cast<long long>(kIdleSliceMs)) return waited;
        m_idleHook(m_idleContext);
    }
}

SerialChannel::SerialChannel()
    : m_hComm(nullptr),
      m_reserved1(-1),
      m_hEvent(nullptr),
      m_reserved2(18),
      m_dcb(),
      m_pszPortName(kPortNames[0]),
      m_nBaudRate(9600),
      m_nByteFactor(1) {}

SerialChannel::~SerialChannel() {
    Purge();
    if (m_hComm != nullptr) Close(true);
}

void SerialChannel::NoteFailure(DWORD error) {
    m_dwLastError = error;
    if (IsPortLostError(error)) m_bPortLost = true;
}

int64_t SerialChannel::QueuedInput() {
    DWORD error = 0;
    const int64_t queued = QueuedInputOf(m_hComm, &error);
    if (queued < 0) NoteFailure(error);
    return queued;
}

void SerialChannel::SelectPortName(const char* name) {
    std::string copy(name);  // name may be the copy now held
    m_portNameCopy.swap(copy);
    m_pszPortName = m_portNameCopy.c_str();
}

int SerialChannel::SelectPort(int number) {
    if (number < 1 || number > 6) {
        m_pszPortName = kPortNames[0];
        return 0;
    }
    m_pszPortName = kPortNames[number - 1];
    return 1;
}

int SerialChannel::SelectBaudRate(int rate) {
    for (int known : kBaudRates) {
        if (known == rate) {
            m_nBaudRate = rate;
            m_nByteFactor = 10000 / rate + 1;
            return 1;
        }
    }
    m_nBaudRate = 9600;
    return 0;
}

int SerialChannel::Open(int byteSize, int stopBits, int parity) {
    if (m_hComm != nullptr) return kSerialWrongState;
    m_dwLastError = 0;
    m_bPortLost = false;
    HANDLE port = CreateFileA(PlatformPortName(m_pszPortName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        m_dwLastError = GetLastError();
        return kSerialOpenFailed;
    }
    // The open raised DTR and RTS; the sooner they drop, the shorter the
    // pulse. (The Linux layer has dropped them already, inside its open.)
    EscapeCommFunction(port, CLRDTR);
    EscapeCommFunction(port, CLRRTS);
#ifdef _WIN32
    // Windows keeps a port's settings from one open to the next: those found
    // are set back at Close. (The Linux layer keeps them inside its open.)
    // A driver that cannot tell them (wine on a pseudo-terminal) gets none
    // back; the port still serves.
    DCB found{};
    found.DCBlength = sizeof found;
    m_bHaveFoundDcb = GetCommState(port, &found) != FALSE;
    if (m_bHaveFoundDcb)
        m_foundDcb = found;
    else
        m_dwLastError = GetLastError();
#endif
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        CloseHandle(port);
        return kSerialEventFailed;
    }
    m_hComm = port;
    m_hEvent = event;
    m_bLineInDoubt = true;
    if (!SetupComm(m_hComm, kQueueSize, kQueueSize)) {
        Close(true);
        return kSerialQueuesRefused;
    }
    if (byteSize < 5 || byteSize > 8) byteSize = 8;
    (void)ApplyLineSettings(m_nBaudRate, byteSize, parity, stopBits);
    (void)SetReadTimeouts(0);
    return kSerialOk;
}

void SerialChannel::Close(bool dropLines) {
    if (m_hComm == nullptr) return;
    if (dropLines) {
        ClearDtr();
        ClearRts();
    }
#ifdef _WIN32
    // The channel holds DTR and RTS off; a found DCB that enabled them would
    // raise them again.
    if (m_bHaveFoundDcb) {
        DCB found = m_foundDcb;
        found.fDtrControl = DTR_CONTROL_DISABLE;
        found.fRtsControl = RTS_CONTROL_DISABLE;
        if (!SetCommState(m_hComm, &found)) m_dwLastError = GetLastError();
    }
#endif
    CloseHandle(m_hEvent);
    m_hEvent = nullptr;
    CloseHandle(m_hComm);
    m_hComm = nullptr;
}

int SerialChannel::ApplyLineSettings(int rate, int byteSize, int parity, int stopBits) {
    if (m_hComm == nullptr) return kSerialWrongState;
    std::memset(&m_dcb, 0, sizeof m_dcb);
    m_dcb.DCBlength = sizeof m_dcb;
    m_dcb.BaudRate = static_cast<DWORD>(rate);
    m_dcb.fBinary = 1;
    m_dcb.fParity = parity != 0 ? 1 : 0;
    m_dcb.fOutxCtsFlow = 0;
    m_dcb.fOutxDsrFlow = 0;
    m_dcb.fDtrControl = DTR_CONTROL_DISABLE;
    m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m_dcb.XonLim = 2048;
    m_dcb.XoffLim = 512;
    m_dcb.ByteSize = static_cast<BYTE>(byteSize);
    m_dcb.Parity = static_cast<BYTE>(parity);
    m_dcb.StopBits = static_cast<BYTE>(stopBits);
    m_dcb.XonChar = 0x11;
    m_dcb.XoffChar = 0x13;
    if (!SetCommState(m_hComm, &m_dcb)) return kSerialLineRefused;
    return kSerialOk;
}

int SerialChannel::SetReadTimeouts(int multiplier) {
    if (m_hComm == nullptr) return kSerialWrongState;
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(m_hComm, &timeouts)) return kSerialTimeoutsUnread;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(multiplier);
    if (!SetCommTimeouts(m_hComm, &timeouts)) return kSerialTimeoutsRefused;
    return kSerialOk;
}

int SerialChannel::Purge() {
    if (m_hComm == nullptr) return kSerialWrongState;
    if (!PurgeComm(m_hComm, kPurgeAll)) return kSerialPurgeFailed;
    return kSerialOk;
}

int SerialChannel::WatchReceivedChars() {
    if (m_hComm == nullptr) return kSerialWrongState;
    if (!SetCommMask(m_hComm, EV_RXCHAR)) return kSerialMaskRefused;
    return kSerialOk;
}

int SerialChannel::Transfer(bool write, uint8_t* buffer, uint32_t length, uint32_t waitMs) {
    if (m_hComm == nullptr) return kSerialWrongState;
    const int startFailed = write ? kSerialWriteFailed : kSerialReadStartFailed;
    const int timedOut = write ? kSerialWriteFailed : kSerialReadTimedOut;
    const int waitFailed = write ? kSerialWriteFailed : kSerialReadWaitFailed;
    const int finishedBadly = write ? kSerialWriteFailed : kSerialReadFailed;

    OVERLAPPED ov{};
    ov.hEvent = m_hEvent;
    DWORD moved = 0;
    const BOOL atOnce = write ? WriteFile(m_hComm, buffer, length, &moved, &ov)
                              : ReadFile(m_hComm, buffer, length, &moved, &ov);
    // A transfer ended by the port's own time-outs finishes "successfully"
    // with fewer bytes; a write's time-outs are whatever the port's previous
    // user left, and a cut-off frame must not pass for a sent one.
    if (atOnce) return moved == length ? kSerialOk : finishedBadly;
    if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING) {
        NoteFailure(error);
        return startFailed;
    }

    const DWORD waited = AwaitEvent(m_hEvent, waitMs);
    if (waited != WAIT_OBJECT_0) {
        const DWORD waitError = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
        if (CancelAndAwait(m_hComm, &ov, &moved) && moved == length) return kSerialOk;
        NoteFailure(waitError);
        return waited == WAIT_TIMEOUT ? timedOut : waitFailed;
    }
    if (!GetOverlappedResult(m_hComm, &ov, &moved, write ? FALSE : TRUE)) {
        const DWORD error = GetLastError();
        NoteFailure(error);
        // Aborted though nobody cancelled it: Windows' drivers abort what is
        // pending when the device goes; the queue tells whether it has.
        if (error == ERROR_OPERATION_ABORTED) (void)QueuedInput();
        return finishedBadly;
    }
    return moved == length ? kSerialOk : finishedBadly;
}

int SerialChannel::Write(const uint8_t* buffer, uint32_t length, uint32_t waitMs) {
    // WriteFile takes the buffer as const; the cast only shares Transfer.
    return Transfer(true, const_cast<uint8_t*>(buffer), length, waitMs);
}

int SerialChannel::Read(uint8_t* buffer, uint32_t length, uint32_t waitMs) {
    return Transfer(false, buffer, length, waitMs);
}

int SerialChannel::Send(const uint8_t* frame, uint32_t length) {
    if (m_hComm == nullptr) return kSerialWrongState;
    PurgeBeforeSend(m_hComm);
    (void)SetReadTimeouts(kSendReadMultiplier);
    if (m_traceHook != nullptr) m_traceHook(true, frame, length, m_traceContext);
    const uint32_t waitMs = length * static_cast<uint32_t>(m_nByteFactor) * 100u;
    return Write(frame, length, waitMs);
}

int SerialChannel::WaitAndRead(uint8_t* buffer, uint32_t count, uint32_t waitMs) {
    if (m_hComm == nullptr) return kSerialWrongState;
    (void)SetReadTimeouts(0);

    if (QueuedInput() <= 0) {
        HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (waitEvent == nullptr) return kSerialRxEventFailed;
        OVERLAPPED ov{};
        ov.hEvent = waitEvent;
        (void)WatchReceivedChars();

        DWORD mask = 0;
        const auto deadline = WaitClock::now() + std::chrono::milliseconds(waitMs);
        bool arrived = WaitCommEvent(m_hComm, &mask, &ov) != FALSE;
        bool abandoned = false;  // finished as aborted, though nobody cancelled it
        if (!arrived) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) NoteFailure(error);
            const DWORD waited = error == ERROR_IO_PENDING ? AwaitEvent(waitEvent, waitMs) : WAIT_FAILED;
            DWORD moved = 0;
            if (waited == WAIT_OBJECT_0) {
                arrived = GetOverlappedResult(m_hComm, &ov, &moved, TRUE) != FALSE;
                if (!arrived) {
                    const DWORD finished = GetLastError();
                    abandoned = finished == ERROR_OPERATION_ABORTED;
                    if (!abandoned) NoteFailure(finished);
                }
            } else if (error == ERROR_IO_PENDING) {
                arrived = CancelAndAwait(m_hComm, &ov, &moved);
                if (!arrived) NoteFailure(waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError());
            }
        }
        CloseHandle(waitEvent);
        if (abandoned) {
            DWORD error = 0;
            arrived = PollForQueuedByte(m_hComm, deadline, m_idleHook, m_idleContext, &error);
            if (error != 0) NoteFailure(error);
        }
        // Windows reports only bytes that arrive once the mask is set: an
        // answer that landed after the queue was looked at above, but before
        // the mask took hold, sits there unreported.
        if (!arrived && !m_bPortLost) arrived = QueuedInput() > 0;
        if (!arrived) return kSerialNoByte;
        SetCommMask(m_hComm, 0);
    }
    const int result = Read(buffer, count, waitMs);
    if (result == kSerialOk && m_traceHook != nullptr) m_traceHook(false, buffer, count, m_traceContext);
    return result;
}

bool SerialChannel::StaysQuiet(uint32_t quietMs) {
    uint8_t byte = 0;
    return WaitAndRead(&byte, 1, quietMs) == kSerialNoByte;
}

uint32_t SerialChannel::QuietTimeMs() const {
    const uint32_t rate = m_nBaudRate > 0 ? static_cast<uint32_t>(m_nBaudRate) : 9600u;
    return 50u + (10u * 10u * 1000u + rate - 1) / rate;
}

bool SerialChannel::DrainUntilQuiet(uint32_t quietMs, uint32_t capMs, uint32_t* dropped) {
    if (dropped != nullptr) *dropped = 0;
    if (m_hComm == nullptr) return false;
    const auto cap = WaitClock::now() + std::chrono::milliseconds(capMs);
    uint8_t sink[512];
    for (;;) {
        const int64_t queued = QueuedInput();
        if (queued < 0) return false;
        if (queued > 0) {
            const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(queued, sizeof sink));
            if (Read(sink, n, quietMs) != kSerialOk) return false;
            if (m_traceHook != nullptr) m_traceHook(false, sink, n, m_traceContext);
            if (dropped != nullptr) *dropped += n;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(cap - WaitClock::now()).count();
        if (left <= 0) return false;
        const int waited = WaitAndRead(sink, 1, static_cast<uint32_t>(std::min<long long>(left, quietMs)));
        if (waited == kSerialNoByte) return left >= static_cast<long long>(quietMs);
        if (waited != kSerialOk) return false;
        if (dropped != nullptr) *dropped += 1;
    }
}

void SerialChannel::ClearDtr() {
    if (m_hComm == nullptr) return;
    EscapeCommFunction(m_hComm, CLRDTR);
}

void SerialChannel::ClearRts() {
    if (m_hComm == nullptr) return;
    EscapeCommFunction(m_hComm, CLRRTS);
}
