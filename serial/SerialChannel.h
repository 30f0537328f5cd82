// The one serial port through which the program talks to the module.
//
// Model
//   The channel is closed (m_hComm and m_hEvent null) or open (both set).
//   Open() moves it from closed to open and leaves it closed on every
//   failure; Close() moves it back. Nothing else changes the state: no
//   transfer failure, time-out or cancellation closes the port.
//
//   Port number and rate are chosen with SelectPort()/SelectBaudRate() in
//   either state and take effect at the next Open(); the write-wait factor
//   that SelectBaudRate() sets governs the next Send() at once.
//
//   Every transfer is started overlapped and awaited on the calling thread
//   for a bounded time; a wait that runs out cancels the operation (and
//   awaits the cancellation, so no platform call uses the call's buffer or
//   record after it returns). There is no thread and no lock: one caller, one
//   operation at a time. Only the port handle and its event live from Open()
//   to Close(); records and the receive wait's event live for one call.
//
//   The one instance, theSerialChannel, is built during static
//   initialisation (closed, "COM1", 9600, factor 1) and at process exit
//   purges both queues and, if open, drops DTR and RTS and closes the port.
//
// Results
//   Selections return 1 (accepted) or 0 (refused: the default was taken).
//   Everything else returns 0 for success or one of the codes below. Every
//   non-zero code of WaitAndRead() has non-zero low 8 bits, as the receive
//   loop judges it by those alone.
//
// Units: lengths and counts in bytes, waits in milliseconds. A wait of 0
//   means "finished at once or not at all". Neither Write() nor Read()
//   reports a partial transfer: 0 means the whole length moved, and a
//   transfer the port's own time-outs ended short is a failure.
#ifndef TOVREL_SERIAL_SERIALCHANNEL_H
#define TOVREL_SERIAL_SERIALCHANNEL_H

#include <cstdint>
#include <string>

#include "CommPlatform.h"

enum SerialResult : int {
    kSerialOk = 0,
    kSerialRxEventFailed = 1,        // WaitAndRead: creating its own wait event failed
    kSerialOpenFailed = 101,         // Open: port missing or held by another program
    kSerialWrongState = 102,         // not open, or (Open) already open
    kSerialWriteFailed = 104,        // write failed to start, failed, or ran out of time
    kSerialEventFailed = 200,        // Open: creating the channel event failed; port closed again
    kSerialLineRefused = 202,        // ApplyLineSettings: the platform refused the settings
    kSerialTimeoutsUnread = 203,     // SetReadTimeouts: reading the time-outs failed
    kSerialTimeoutsRefused = 204,    // SetReadTimeouts: the platform refused them
    kSerialQueuesRefused = 205,      // Open: queue sizes refused; channel closed again
    kSerialPurgeFailed = 207,        // Purge
    kSerialMaskRefused = 208,        // WatchReceivedChars
    kSerialNoByte = 209,             // WaitAndRead: nothing arrived in time, or the wait failed
    kSerialReadStartFailed = 1031,   // the read failed to start
    kSerialReadFailed = 1032,        // the read finished with a failure (a hang-up included)
    kSerialReadTimedOut = 1033,      // the read did not finish in time and was cancelled
    kSerialReadWaitFailed = 1034,    // waiting for the read failed
};

class SerialChannel {
public:
    SerialChannel();
    ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Port 1..6 -> "COM1".."COM6" (1); any other number -> "COM1" (0).
    int SelectPort(int number);
    // A port by its platform name instead ("COM12", or on Linux a device
    // path such as "/dev/ttyUSB0", as ListSerialPorts names them); the
    // channel keeps a copy.
    void SelectPortName(const char* name);
    // A rate of the table (110 ... 115200): rate and factor 10000 / rate + 1
    // (1). Any other: rate 9600, factor unchanged (0).
    int SelectBaudRate(int rate);

    // Opens the selected port exclusively, drops DTR and RTS at once (the
    // platform's open raises them: a pulse of a few ms that a module which
    // resets on DTR takes for a reset), sets 64 KiB queues, then applies
    // rate, byte size (5..8, else 8), parity (0 none, 1 odd, 2 even, 3 mark,
    // 4 space) and stop bits (0 one, 1 one and a half, 2 two) and zero read
    // time-outs; refusals of those two steps are not reported. The line
    // settings found are kept for Close. On Linux a terminal whose settings
    // cannot be read gives 101 (that read's error in LastError()); on
    // Windows a driver that cannot tell its DCB (wine on a pseudo-terminal)
    // is opened all the same, its error in LastError(), and gets none back.
    // Open never refuses a kernel's console: callers that must keep off it
    // ask IsUnnamedKernelConsole (SerialPorts.h) first.
    // 0, 101, 102 (already open: left untouched), 200, 205.
    int Open(int byteSize, int stopBits, int parity);
    // Closes an open channel (event, then port), dropping DTR and RTS first
    // when dropLines is set, and leaves the port's line settings as Open
    // found them: on Linux the whole termios (speed, modes, control
    // characters) and the low-latency flag, put back by the platform layer's
    // close (posix/Win32Comm.h); on Windows the DCB, set back here with its
    // DTR and RTS fields as this close leaves the lines (off), so that
    // putting it back raises neither. A port that has gone is just closed.
    // On a closed channel: no platform call.
    void Close(bool dropLines);

    // 0, 102, 202. No flow control; DTR and RTS held off.
    int ApplyLineSettings(int rate, int byteSize, int parity, int stopBits);
    // Read time-outs: interval 0, constant 0, multiplier as given (ms per
    // byte); 0 makes a read complete only on its full count. Write fields
    // kept. 0, 102, 203, 204.
    int SetReadTimeouts(int multiplier);
    // Aborts and clears both queues. 0, 102, 207.
    int Purge();
    // Event mask EV_RXCHAR. 0, 102, 208.
    int WatchReceivedChars();

    // 0, 102, 104 (a write that ran out of time has been cancelled, or moved
    // fewer bytes than asked). An operation that finished whole just as its
    // wait ran out is a success.
    int Write(const uint8_t* buffer, uint32_t length, uint32_t waitMs);
    // 0, 102, 1031, 1032 (failed, or moved fewer bytes than asked), 1033
    // (cancelled after waitMs), 1034.
    int Read(uint8_t* buffer, uint32_t length, uint32_t waitMs);

    // Purges the input queue (and the output side too if bytes wait there),
    // sets the read multiplier 10001, then writes with a wait of length x
    // factor x 100 ms. 0, 102, 104.
    int Send(const uint8_t* frame, uint32_t length);
    // Waits up to waitMs for a first byte unless one is queued, then reads
    // exactly count bytes with the same wait (so at most about 2 x waitMs).
    // A platform that abandons the character watch at once (wine on a
    // pseudo-terminal) has its queue watched instead, for the same wait.
    // Before 209 the queue is looked at once more: bytes that came just
    // before the watch started are no event for it, yet they are the answer.
    // 0, 1, 102, 209, 1031..1034.
    int WaitAndRead(uint8_t* buffer, uint32_t count, uint32_t waitMs);

    // Reads and drops what arrives until nothing has come for quietMs, or
    // until capMs have passed. True when the line went quiet; false when
    // bytes kept coming until the cap, the port failed or the channel is
    // closed. *dropped (may be null): the bytes read.
    bool DrainUntilQuiet(uint32_t quietMs, uint32_t capMs, uint32_t* dropped);
    // Waits up to quietMs for a byte: true when none came (one that came is
    // dropped). False on a closed channel.
    bool StaysQuiet(uint32_t quietMs);
    // How long a line must stay silent to count as quiet at the selected
    // rate: 50 ms, for a driver's and a module's pauses, plus ten byte times.
    uint32_t QuietTimeMs() const;

    // Whether an answer on the line may belong to an earlier request: set
    // by Open (whatever a previous user of the port left may still come)
    // and by the protocol after an exchange that did not end with a whole
    // answer; cleared by the protocol once the line is back in step.
    bool LineInDoubt() const { return m_bLineInDoubt; }
    void SetLineInDoubt(bool inDoubt) { m_bLineInDoubt = inDoubt; }

    void ClearDtr();
    void ClearRts();

    // The platform error of the last call that failed (GetLastError, taken
    // at that call), WAIT_TIMEOUT when a wait ran out; 0 when nothing has
    // failed since the last Open.
    DWORD LastError() const { return m_dwLastError; }
    // True once a transfer or wait since the last Open has failed because
    // the port itself went away (an adapter pulled, the line hung up):
    // every later call fails too, until the caller closes and reopens it,
    // which works once the device is back.
    bool PortLost() const { return m_bPortLost; }

    // Sees every frame part sent (outgoing, before it is written) and every
    // run of bytes a WaitAndRead delivered; null: none. For traces only.
    using TraceHook = void (*)(bool outgoing, const uint8_t* bytes, uint32_t length, void* context);
    void SetTraceHook(TraceHook hook, void* context) {
        m_traceHook = hook;
        m_traceContext = context;
    }

    // Called while a Write, a Read or the wait for a first byte blocks, about
    // every kIdleSliceMs, so that a window can repaint; null: none. The
    // waits keep their totals. The hook must not use the channel.
    using IdleHook = void (*)(void* context);
    static constexpr uint32_t kIdleSliceMs = 30;
    void SetIdleHook(IdleHook hook, void* context) {
        m_idleHook = hook;
        m_idleContext = context;
    }

    // State, read by callers and tests; changed only by the operations above.
    HANDLE m_hComm;            // open port; null while closed
    int32_t m_reserved1;       // kept from the original layout, carries nothing
    HANDLE m_hEvent;           // completion event of Write/Read; null while closed
    uint32_t m_reserved2;      // as m_reserved1
    DCB m_dcb;                 // the line settings last applied
    const char* m_pszPortName; // the port-name table's, or SelectPortName's copy
    int32_t m_nBaudRate;       // rate applied at the next Open
    int32_t m_nByteFactor;     // write wait per byte, in 100 ms

private:
    std::string m_portNameCopy;  // SelectPortName's
#ifdef _WIN32
    DCB m_foundDcb{};            // the port's settings as Open found them, for Close
    bool m_bHaveFoundDcb = false;  // false: the port could not tell them
#endif
    DWORD m_dwLastError = 0;
    bool m_bPortLost = false;
    bool m_bLineInDoubt = false;
    TraceHook m_traceHook = nullptr;
    void* m_traceContext = nullptr;
    IdleHook m_idleHook = nullptr;
    void* m_idleContext = nullptr;
    // Keeps the error of a failed platform call, and marks the port lost
    // when the error says it went away.
    void NoteFailure(DWORD error);
    // Bytes waiting in the input queue, or -1 (noted) when the port cannot say.
    int64_t QueuedInput();
    // WaitForSingleObject for up to waitMs, in slices while an idle hook is set.
    DWORD AwaitEvent(HANDLE event, uint32_t waitMs);
    int Transfer(bool write, uint8_t* buffer, uint32_t length, uint32_t waitMs);
};

extern SerialChannel theSerialChannel;

#endif
