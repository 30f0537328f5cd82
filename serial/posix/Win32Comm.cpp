#include "Win32Comm.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommEventMode.h"
#include "CommJournal.h"
#include "PortNames.h"
#include "TermiosLine.h"
#include "UucpLock.h"
#include "serial/PortLock.h"

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Internal of an OVERLAPPED while its operation is under way (NTSTATUS
// STATUS_PENDING, as Windows keeps it).
constexpr ULONG_PTR kPending = 0x103;

thread_local DWORD t_lastError = ERROR_SUCCESS;

PortLockNotes g_lockNotes;

bool g_edgeEvents = false;

// Edge mode, while a comm-event wait is pending and bytes sit in the queue:
// poll cannot tell new bytes from old ones, so the queue is looked at again
// after this long.
constexpr Nanos kEdgeRecheck = std::chrono::milliseconds(1);

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

// The error of a failed call on an open port. A device that went away
// (unplugged, hung up) fails with EIO, or ENXIO/ENODEV from some drivers.
DWORD FromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENOTTY: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EIO:
        case ENXIO:
        case ENODEV:
        case EPIPE:
        case ESHUTDOWN: return ERROR_DEVICE_REMOVED;
        default: return ERROR_GEN_FAILURE;
    }
}

// The error of a failed open: a device that is not there is not found.
// EBUSY is TIOCEXCL's refusal of a second open by a program not root.
DWORD FromOpenErrno(int err) {
    if (err == ENXIO || err == ENODEV) return ERROR_FILE_NOT_FOUND;
    return FromErrno(err);
}

// An overlapped operation under way. Which fields apply depends on kind.
struct PendingOp {
    enum Kind { kRead, kWrite, kCommEvent } kind = kRead;
    OVERLAPPED* ov = nullptr;
    uint8_t* readBuffer = nullptr;          // kRead
    const uint8_t* writeBuffer = nullptr;   // kWrite
    DWORD length = 0;                       // kRead, kWrite
    DWORD done = 0;                         // bytes moved so far
    bool draining = false;                  // kWrite: all handed to the driver, awaiting TIOCOUTQ 0
    std::optional<Clock::time_point> totalDeadline;  // kRead, kWrite: total time-out
    Nanos interval{0};                      // kRead: interval time-out, 0 = none
    Clock::time_point lastByte{};           // kRead: arrival of the latest byte
    DWORD* eventMask = nullptr;             // kCommEvent
};

struct Port {
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    // Edge mode: input bytes already accounted for (queued when the mask was
    // set or last looked at), and whether more have come since the mask was
    // set or a wait last reported them.
    int rxCounted = 0;
    bool rxEvent = false;
    uint32_t rate = 9600;    // for the drain estimate only
    uint32_t bitsPerByte = 10;
    std::string lockPath;    // the UUCP lock file this port took; empty: none
    // What the open found, put back at the close: the whole termios, and
    // whether low latency was off before the open turned it on.
    TermiosSnapshot found{};
    bool lowLatencyAdded = false;
    std::optional<PendingOp> read, write, commEvent;
};

struct Slot {
    enum Kind { kFree, kPort, kEvent } kind = kFree;
    bool signalled = false;        // kEvent
    std::unique_ptr<Port> port;    // kPort
};

// Handles are (index + 1) * 4, like Windows' multiples of four; never raw
// pointers. The table is never destroyed, so the serial channel's teardown
// at process exit finds it intact.
std::vector<Slot>& Table() {
    static auto* table = new std::vector<Slot>;
    return *table;
}

HANDLE ToHandle(size_t index) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((index + 1) * 4)); }

Slot* Lookup(HANDLE h, Slot::Kind kind) {
    const auto value = reinterpret_cast<uintptr_t>(h);
    if (value == 0 || value % 4 != 0) return nullptr;
    const size_t index = value / 4 - 1;
    auto& table = Table();
    if (index >= table.size() || table[index].kind != kind) return nullptr;
    return &table[index];
}

Port* LookupPort(HANDLE h) {
    Slot* slot = Lookup(h, Slot::kPort);
    return slot != nullptr ? slot->port.get() : nullptr;
}

Slot* LookupEvent(HANDLE h) { return Lookup(h, Slot::kEvent); }

HANDLE Allocate(Slot slot) {
    auto& table = Table();
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].kind == Slot::kFree) {
            table[i] = std::move(slot);
            return ToHandle(i);
        }
    }
    table.push_back(std::move(slot));
    return ToHandle(table.size() - 1);
}

void SetEventState(HANDLE h, bool signalled) {
    if (Slot* ev = LookupEvent(h)) ev->signalled = signalled;
}

void Complete(std::optional<PendingOp>& op, DWORD error) {
    op->ov->Internal = error;
    op->ov->InternalHigh = op->done;
    SetEventState(op->ov->hEvent, true);
    op.reset();
}

void Begin(OVERLAPPED* ov) {
    ov->Internal = kPending;
    ov->InternalHigh = 0;
    SetEventState(ov->hEvent, false);
}

void CancelAll(Port& port) {
    for (auto* op : {&port.read, &port.write, &port.commEvent}) {
        if (*op) Complete(*op, ERROR_OPERATION_ABORTED);
    }
}

// Bytes waiting in the input queue, or -1 with errno.
int InputQueued(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Bytes written and not yet sent, or -1 with errno.
int OutputQueued(int fd) {
    int n = 0;
    return ioctl(fd, TIOCOUTQ, &n) == 0 ? n : -1;
}

// Edge mode: takes the queue's length as now accounted for; a longer queue
// than before had arrivals, an event if the mask watches for them. Returns
// whether an event is waiting to be reported.
bool NoteArrivals(Port& port, int queued) {
    if (queued > port.rxCounted && (port.eventMask & EV_RXCHAR) != 0) port.rxEvent = true;
    if (queued >= 0) port.rxCounted = queued;
    return port.rxEvent;
}

// Edge mode: bytes the program read leave the queue; more than were
// accounted for means some came in the meantime.
void NoteTaken(Port& port, DWORD n) {
    if (n <= static_cast<DWORD>(port.rxCounted)) {
        port.rxCounted -= static_cast<int>(n);
        return;
    }
    if ((port.eventMask & EV_RXCHAR) != 0) port.rxEvent = true;
    port.rxCounted = 0;
}

// Moves what it can of a read. Completes it when the count is complete,
// when the device is gone, or when a time-out has run out.
void ProgressRead(Port& port) {
    PendingOp& op = *port.read;
    if (g_edgeEvents) NoteArrivals(port, InputQueued(port.fd));
    while (op.done < op.length) {
        const ssize_t n = ::read(port.fd, op.readBuffer + op.done, op.length - op.done);
        if (n > 0) {
            if (g_edgeEvents) NoteTaken(port, static_cast<DWORD>(n));
            op.done += static_cast<DWORD>(n);
            op.lastByte = Clock::now();
            continue;
        }
        if (n == 0) return Complete(port.read, ERROR_DEVICE_REMOVED);  // hang-up
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return Complete(port.read, FromErrno(errno));
    }
    if (op.done == op.length) return Complete(port.read, ERROR_SUCCESS);
    const auto now = Clock::now();
    if (op.totalDeadline && now >= *op.totalDeadline) return Complete(port.read, ERROR_SUCCESS);
    if (op.interval.count() > 0 && op.done > 0 && now - op.lastByte >= op.interval)
        return Complete(port.read, ERROR_SUCCESS);
}

// Time the output queue needs to drain at the line's rate, at least 100 us.
Nanos DrainEstimate(const Port& port, int queued) {
    const auto ns = static_cast<int64_t>(queued) * port.bitsPerByte * 1000000000LL / port.rate;
    return Nanos(ns < 100000 ? 100000 : ns);
}

// The port's write time-out has run out: the write ends successfully with
// the bytes that have left the port. Those still in the driver's queue are
// dropped, as Windows does not send the rest of a timed-out write.
void EndWriteAtItsTimeout(Port& port) {
    PendingOp& op = *port.write;
    const int queued = OutputQueued(port.fd);
    if (queued > 0) {
        op.done -= std::min(static_cast<DWORD>(queued), op.done);
        (void)tcflush(port.fd, TCOFLUSH);
    }
    Complete(port.write, ERROR_SUCCESS);
}

// Hands what it can of a write to the driver, then awaits the empty output
// queue, unless the port's write time-out ends it first.
void ProgressWrite(Port& port) {
    PendingOp& op = *port.write;
    while (!op.draining) {
        const ssize_t n = ::write(port.fd, op.writeBuffer + op.done, op.length - op.done);
        if (n >= 0) {
            op.done += static_cast<DWORD>(n);
            if (op.done == op.length) op.draining = true;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return Complete(port.write, FromErrno(errno));
    }
    if (op.draining) {
        const int queued = OutputQueued(port.fd);
        if (queued < 0 && errno != ENOTTY && errno != EINVAL) return Complete(port.write, FromErrno(errno));
        if (queued <= 0) return Complete(port.write, ERROR_SUCCESS);
    }
    if (op.totalDeadline && Clock::now() >= *op.totalDeadline) EndWriteAtItsTimeout(port);
}

void ProgressCommEvent(Port& port, short revents) {
    const int queued = InputQueued(port.fd);
    const bool arrived = g_edgeEvents ? NoteArrivals(port, queued) : queued > 0;
    if (arrived) {
        port.rxEvent = false;
        *port.commEvent->eventMask = EV_RXCHAR;
        return Complete(port.commEvent, ERROR_SUCCESS);
    }
    // Readable with nothing to read, or hung up: the device is gone.
    if (queued < 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 || ((revents & POLLIN) != 0 && queued == 0))
        return Complete(port.commEvent, ERROR_DEVICE_REMOVED);
}

// Drives every pending operation until `done()` holds or the deadline passes
// (no deadline: until done). Each round polls the ports with the time that
// remains, so nothing spins. Returns done().
template <typename Done>
bool DriveUntil(Done done, std::optional<Clock::time_point> deadline) {
    std::vector<pollfd> fds;
    std::vector<Port*> ports;
    for (;;) {
        if (done()) return true;
        const auto now = Clock::now();
        if (deadline && now >= *deadline) return false;

        std::optional<Nanos> sleep;
        if (deadline) sleep = *deadline - now;
        auto shorten = [&sleep](Nanos n) {
            if (n < Nanos(0)) n = Nanos(0);
            if (!sleep || n < *sleep) sleep = n;
        };
        fds.clear();
        ports.clear();
        for (Slot& slot : Table()) {
            if (slot.kind != Slot::kPort) continue;
            Port& port = *slot.port;
            short events = 0;
            if (port.read) events |= POLLIN;
            if (port.commEvent) {
                if (g_edgeEvents && port.rxCounted > 0) shorten(kEdgeRecheck);
                else events |= POLLIN;
            }
            if (port.write) {
                if (!port.write->draining) events |= POLLOUT;
                else shorten(DrainEstimate(port, OutputQueued(port.fd)));
            }
            for (const auto* op : {&port.read, &port.write}) {
                if (*op && (*op)->totalDeadline) shorten(*(*op)->totalDeadline - now);
            }
            if (port.read && port.read->interval.count() > 0 && port.read->done > 0)
                shorten(port.read->lastByte + port.read->interval - now);
            if (events == 0 && !port.write && !port.commEvent) continue;
            fds.push_back(pollfd{port.fd, events, 0});
            ports.push_back(&port);
        }

        timespec ts{};
        timespec* tsp = nullptr;
        if (sleep) {
            ts.tv_sec = static_cast<time_t>(sleep->count() / 1000000000LL);
            ts.tv_nsec = static_cast<long>(sleep->count() % 1000000000LL);
            tsp = &ts;
        }
        const int ready = ppoll(fds.empty() ? nullptr : fds.data(), fds.size(), tsp, nullptr);
        if (ready < 0 && errno != EINTR) return done();

        for (size_t i = 0; i < ports.size(); ++i) {
            Port& port = *ports[i];
            const short revents = ready > 0 ? fds[i].revents : 0;
            if (port.read) ProgressRead(port);
            if (port.commEvent && (revents != 0 || g_edgeEvents)) ProgressCommEvent(port, revents);
            if (port.write) {
                if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !port.write->draining)
                    Complete(port.write, ERROR_DEVICE_REMOVED);
                else
                    ProgressWrite(port);
            }
        }
    }
}

// The result of a finished operation, as its caller sees it.
BOOL Outcome(const OVERLAPPED* ov, LPDWORD moved) {
    if (moved != nullptr) *moved = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != ERROR_SUCCESS) return Fail(static_cast<DWORD>(ov->Internal));
    return TRUE;
}

std::optional<Clock::time_point> DeadlineAfter(DWORD ms) {
    if (ms == INFINITE) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(ms);
}

// A transfer's total time-out from now: multiplier x length + constant ms,
// none when that is 0.
std::optional<Clock::time_point> TotalDeadline(DWORD multiplier, DWORD constant, DWORD length) {
    const uint64_t total = static_cast<uint64_t>(multiplier) * length + constant;
    if (total == 0) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(total);
}

// Closes a descriptor unless released: the open commits only once set-up
// has succeeded.
struct FdOwner {
    int fd;
    ~FdOwner() {
        if (fd >= 0) ::close(fd);
    }
    int Release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// Removes a UUCP lock file unless released, as FdOwner closes.
struct LockOwner {
    std::string path;
    ~LockOwner() { ReleaseUucpLock(path); }
    std::string Release() { return std::move(path); }
};

// Puts back what the open found. DTR and RTS stay as the close leaves
// them: the kernel raises them only when a line leaves rate B0, which the
// settings applied here never are; a B0 found only drops them. A device
// that has gone refuses, which changes nothing.
void LeaveAsFound(const Port& port) {
    (void)RestoreTermiosSnapshot(port.fd, port.found);
    serial_struct serial{};
    if (port.lowLatencyAdded && ioctl(port.fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        (void)ioctl(port.fd, TIOCSSERIAL, &serial);
    }
}

void SetModemLine(int fd, int line, bool on) {
    // Pseudo-terminals have no modem lines; the refusal is expected there.
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    comm_journal::Record("CreateFileA", lpFileName);
    (void)lpSecurityAttributes;
    if (lpFileName == nullptr || dwShareMode != 0 || dwCreationDisposition != OPEN_EXISTING ||
        (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0 || hTemplateFile != nullptr ||
        (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    g_lockNotes = PortLockNotes{};
    const std::string path = DevicePathOf(lpFileName);
    // Two names of one device share one lock: it is named after the device.
    const std::string device = path.empty() ? path : ResolvedPath(path);
    if (device.empty()) {
        Fail(path.empty() ? ERROR_FILE_NOT_FOUND : FromOpenErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Only a device can be a port: no lock is taken for anything else.
    struct stat st {};
    if (stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Before the device is opened: the open alone would raise the holder's
    // DTR and RTS.
    const UucpLockAttempt lock = TakeUucpLock(device);
    if (lock.outcome == UucpLockAttempt::kHeld) {
        g_lockNotes.holderPid = lock.holder;
        g_lockNotes.heldBecause = lock.why;
        Fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    LockOwner lockOwner{lock.lockPath};
    FdOwner owner{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (owner.fd < 0) {
        Fail(FromOpenErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // The kernel's open has raised DTR and RTS (unless the line's rate is
    // B0): drop them before anything else, so the pulse a module sees lasts
    // from the open to here.
    SetModemLine(owner.fd, TIOCM_DTR | TIOCM_RTS, false);
    if (!isatty(owner.fd)) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // flock holds against every other open, root's included, also where no
    // lock file could be taken; TIOCEXCL keeps out programs that do not lock.
    if (flock(owner.fd, LOCK_EX | LOCK_NB) != 0) {
        Fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : FromOpenErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // The settings as found, before anything here changes them; a port
    // that cannot say what they are is not opened, as it could not be left
    // as it was.
    TermiosSnapshot found;
    if (const int err = TakeTermiosSnapshot(owner.fd, &found); err != 0) {
        Fail(FromOpenErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    g_lockNotes.unlockedBecause = lock.why;
    (void)ioctl(owner.fd, TIOCEXCL);
    // USB-serial adapters otherwise hold received bytes back for their
    // latency timer (16 ms on FTDI); drivers that cannot do this refuse.
    serial_struct serial{};
    bool lowLatencyAdded = false;
    if (ioctl(owner.fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        lowLatencyAdded = ioctl(owner.fd, TIOCSSERIAL, &serial) == 0;
    }
    // Until the caller applies its settings, at least no echo or line editing.
    TermiosLine line;
    if (ReadTermiosLine(owner.fd, &line) == 0) (void)ApplyTermiosLine(owner.fd, line);

    Slot slot;
    slot.kind = Slot::kPort;
    slot.port = std::make_unique<Port>();
    slot.port->fd = owner.Release();
    slot.port->lockPath = lockOwner.Release();
    slot.port->found = found;
    slot.port->lowLatencyAdded = lowLatencyAdded;
    slot.port->rate = line.rate != 0 ? line.rate : 9600;
    return Allocate(std::move(slot));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    comm_journal::Record("CreateEventA");
    (void)lpEventAttributes;
    // Only the unnamed manual-reset event is provided.
    if (!bManualReset || lpName != nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Slot slot;
    slot.kind = Slot::kEvent;
    slot.signalled = bInitialState != FALSE;
    return Allocate(std::move(slot));
}

BOOL CloseHandle(HANDLE hObject) {
    if (Port* port = LookupPort(hObject)) {
        comm_journal::Record("CloseHandle", "port");
        CancelAll(*port);
        LeaveAsFound(*port);
        (void)ioctl(port->fd, TIOCNXCL);
        ::close(port->fd);
        ReleaseUucpLock(port->lockPath);
        Slot* slot = Lookup(hObject, Slot::kPort);
        *slot = Slot{};
        return TRUE;
    }
    if (Slot* ev = LookupEvent(hObject)) {
        comm_journal::Record("CloseHandle", "event");
        *ev = Slot{};
        return TRUE;
    }
    comm_journal::Record("CloseHandle", "invalid");
    return Fail(ERROR_INVALID_HANDLE);
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    comm_journal::Record("SetupComm");
    if (LookupPort(hFile) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (dwInQueue == 0 || dwOutQueue == 0 || dwInQueue > 65536 || dwOutQueue > 65536)
        return Fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    comm_journal::Record("SetCommState");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const DCB& dcb = *lpDCB;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
        return Fail(ERROR_INVALID_PARAMETER);
    TermiosLine line;
    line.rate = dcb.BaudRate;
    line.byteSize = dcb.ByteSize;
    line.parity = dcb.Parity;
    line.stopBits = dcb.StopBits;
    line.parityCheck = dcb.fParity != 0;
    line.xonXoffOut = dcb.fOutX != 0;
    line.xonXoffIn = dcb.fInX != 0;
    line.rtsCts = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line.xonChar = static_cast<uint8_t>(dcb.XonChar);
    line.xoffChar = static_cast<uint8_t>(dcb.XoffChar);
    if (const int err = ApplyTermiosLine(port->fd, line); err != 0) return Fail(FromErrno(err));
    port->rate = dcb.BaudRate;
    port->bitsPerByte = 1u + dcb.ByteSize + (dcb.Parity != 0 ? 1u : 0u) + (dcb.StopBits != 0 ? 2u : 1u);
    SetModemLine(port->fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    SetModemLine(port->fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    comm_journal::Record("GetCommTimeouts");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    *lpCommTimeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    comm_journal::Record("SetCommTimeouts");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    port->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (comm_journal::Enabled()) comm_journal::Record("WriteFile", std::to_string(nNumberOfBytesToWrite).c_str());
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr || port->write || (lpBuffer == nullptr && nNumberOfBytesToWrite != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    Begin(lpOverlapped);
    port->write.emplace();
    PendingOp& op = *port->write;
    op.kind = PendingOp::kWrite;
    op.ov = lpOverlapped;
    op.writeBuffer = static_cast<const uint8_t*>(lpBuffer);
    op.length = nNumberOfBytesToWrite;
    op.draining = nNumberOfBytesToWrite == 0;
    op.totalDeadline = TotalDeadline(port->timeouts.WriteTotalTimeoutMultiplier,
                                     port->timeouts.WriteTotalTimeoutConstant, nNumberOfBytesToWrite);
    ProgressWrite(*port);
    if (port->write) return Fail(ERROR_IO_PENDING);
    return Outcome(lpOverlapped, lpNumberOfBytesWritten);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    comm_journal::Record("ReadFile");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr || port->read || (lpBuffer == nullptr && nNumberOfBytesToRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    Begin(lpOverlapped);
    port->read.emplace();
    PendingOp& op = *port->read;
    op.kind = PendingOp::kRead;
    op.ov = lpOverlapped;
    op.readBuffer = static_cast<uint8_t*>(lpBuffer);
    op.length = nNumberOfBytesToRead;
    const COMMTIMEOUTS& t = port->timeouts;
    const bool returnAtOnce =
        t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    if (!returnAtOnce) {
        op.totalDeadline = TotalDeadline(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, nNumberOfBytesToRead);
        if (t.ReadIntervalTimeout != 0) op.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
    }
    ProgressRead(*port);
    if (port->read && returnAtOnce) Complete(port->read, ERROR_SUCCESS);
    if (port->read) return Fail(ERROR_IO_PENDING);
    return Outcome(lpOverlapped, lpNumberOfBytesRead);
}

namespace {

bool IsPending(const Port& port, const OVERLAPPED* ov) {
    for (const auto* op : {&port.read, &port.write, &port.commEvent}) {
        if (*op && (*op)->ov == ov) return true;
    }
    return false;
}

}  // namespace

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    comm_journal::Record("GetOverlappedResult");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (IsPending(*port, lpOverlapped)) {
        if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
        // The port may be closed while driving; look it up afresh each round.
        DriveUntil([&] {
            Port* p = LookupPort(hFile);
            return p == nullptr || !IsPending(*p, lpOverlapped);
        }, std::nullopt);
    }
    return Outcome(lpOverlapped, lpNumberOfBytesTransferred);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    comm_journal::Record("WaitForSingleObject");
    if (LookupEvent(hHandle) == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const bool signalled = DriveUntil([&] {
        const Slot* ev = LookupEvent(hHandle);
        return ev == nullptr || ev->signalled;
    }, DeadlineAfter(dwMilliseconds));
    if (LookupEvent(hHandle) == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CancelIo(HANDLE hFile) {
    comm_journal::Record("CancelIo");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CancelAll(*port);
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    comm_journal::Record("SetCommMask", dwEvtMask != 0 ? "EV_RXCHAR" : "0");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    port->eventMask = dwEvtMask;
    if (g_edgeEvents) {
        // A new mask starts a new history: what is queued now is no event.
        port->rxCounted = std::max(InputQueued(port->fd), 0);
        port->rxEvent = false;
    }
    if (port->commEvent) {
        *port->commEvent->eventMask = 0;
        Complete(port->commEvent, ERROR_SUCCESS);
    }
    return TRUE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    comm_journal::Record("WaitCommEvent");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr || lpOverlapped == nullptr || port->commEvent || (port->eventMask & EV_RXCHAR) == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    *lpEvtMask = 0;
    Begin(lpOverlapped);
    const int queued = InputQueued(port->fd);
    if (queued < 0) {
        lpOverlapped->Internal = FromErrno(errno);
        SetEventState(lpOverlapped->hEvent, true);
        return Fail(static_cast<DWORD>(lpOverlapped->Internal));
    }
    if (g_edgeEvents ? NoteArrivals(*port, queued) : queued > 0) {
        port->rxEvent = false;
        lpOverlapped->Internal = ERROR_SUCCESS;
        SetEventState(lpOverlapped->hEvent, true);
        *lpEvtMask = EV_RXCHAR;
        return TRUE;
    }
    port->commEvent.emplace();
    port->commEvent->kind = PendingOp::kCommEvent;
    port->commEvent->ov = lpOverlapped;
    port->commEvent->eventMask = lpEvtMask;
    return Fail(ERROR_IO_PENDING);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    comm_journal::Record("ClearCommError");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (lpErrors != nullptr) *lpErrors = 0;
    const int in = InputQueued(port->fd);
    if (in < 0) return Fail(FromErrno(errno));
    const int out = OutputQueued(port->fd);
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->cbInQue = static_cast<DWORD>(in);
        lpStat->cbOutQue = out > 0 ? static_cast<DWORD>(out) : 0;
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    comm_journal::Record("PurgeComm", dwFlags == 0x0F ? "all" : dwFlags == (PURGE_RXABORT | PURGE_RXCLEAR) ? "input" : "other");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if ((dwFlags & ~0x0Fu) != 0) return Fail(ERROR_INVALID_PARAMETER);
    if ((dwFlags & PURGE_TXABORT) != 0 && port->write) Complete(port->write, ERROR_OPERATION_ABORTED);
    if ((dwFlags & PURGE_RXABORT) != 0 && port->read) Complete(port->read, ERROR_OPERATION_ABORTED);
    if ((dwFlags & PURGE_RXCLEAR) != 0) {
        // Edge mode: bytes that came before the flush remain an event; the
        // history belongs to the mask, not to the queue.
        if (g_edgeEvents) NoteArrivals(*port, InputQueued(port->fd));
        if (tcflush(port->fd, TCIFLUSH) != 0) return Fail(FromErrno(errno));
        port->rxCounted = 0;
    }
    if ((dwFlags & PURGE_TXCLEAR) != 0) {
        // Only bytes that have not left: on a pseudo-terminal a flush would
        // also take back what the peer has not read yet.
        const int queued = OutputQueued(port->fd);
        if (queued > 0 && tcflush(port->fd, TCOFLUSH) != 0) return Fail(FromErrno(errno));
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    const char* names[] = {"0", "1", "2", "SETRTS", "CLRRTS", "SETDTR", "CLRDTR", "7", "SETBREAK", "CLRBREAK"};
    comm_journal::Record("EscapeCommFunction", dwFunc < 10 ? names[dwFunc] : "?");
    Port* port = LookupPort(hFile);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    int line = 0;
    unsigned long request = 0;
    switch (dwFunc) {
        case SETRTS: line = TIOCM_RTS; request = TIOCMBIS; break;
        case CLRRTS: line = TIOCM_RTS; request = TIOCMBIC; break;
        case SETDTR: line = TIOCM_DTR; request = TIOCMBIS; break;
        case CLRDTR: line = TIOCM_DTR; request = TIOCMBIC; break;
        case SETBREAK: request = TIOCSBRK; break;
        case CLRBREAK: request = TIOCCBRK; break;
        default: return Fail(ERROR_INVALID_PARAMETER);
    }
    const int rc = line != 0 ? ioctl(port->fd, request, &line) : ioctl(port->fd, request);
    if (rc != 0) return Fail(FromErrno(errno));
    return TRUE;
}

DWORD GetLastError() { return t_lastError; }

PortLockNotes LastPortLockNotes() { return g_lockNotes; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

void SetEdgeTriggeredCommEvents(bool on) { g_edgeEvents = on; }
