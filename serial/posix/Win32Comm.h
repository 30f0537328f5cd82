// The Win32 serial-communications subset, provided over termios and poll.
//
// The serial channel is written once, against the Win32 comm calls. On
// Windows it includes <windows.h>; here this header stands in for it and
// declares exactly the types and calls the channel uses, with Win32's names,
// layouts and result conventions, so the channel's code is the same on both.
//
// Model
//   * A HANDLE names either a port (from CreateFileA) or an event (from
//     CreateEventA). Handles are small table indices, never raw pointers, so a
//     stale or foreign handle is refused with ERROR_INVALID_HANDLE rather than
//     dereferenced. INVALID_HANDLE_VALUE is what CreateFileA returns on
//     failure; CreateEventA returns null on failure, as on Windows.
//   * Ports are opened non-blocking, raw, exclusive: a UUCP lock file first,
//     before the device is opened (UucpLock.h), then flock and TIOCEXCL.
//   * DTR and RTS: the kernel raises both whenever a tty is opened (unless
//     its rate is B0), also when another program holds it, before any call
//     can act on the descriptor. CreateFileA drops them right after the
//     open, so a module sees a pulse of some milliseconds (3 to 10 on
//     ftdi_sio and 8250) at every open of its port; a module that resets
//     on DTR resets then. A program refused by the lock file never opens
//     the device and leaves the holder's lines alone.
//     Only overlapped transfers are supported: a ReadFile, WriteFile or
//     WaitCommEvent either finishes at once (TRUE) or is left pending
//     (FALSE with ERROR_IO_PENDING). There is no second thread: a pending
//     operation progresses only inside WaitForSingleObject (on its event) or
//     GetOverlappedResult with bWait set, which poll the port's descriptor
//     with the time that remains. Nothing busy-waits.
//   * Completion sets the OVERLAPPED's Internal (0 or a Win32 error code) and
//     InternalHigh (bytes moved) and signals its event. CancelIo and the abort
//     flags of PurgeComm complete pending operations at once with
//     ERROR_OPERATION_ABORTED, so a cancelled operation never touches its
//     buffer or record after the call returns.
//   * A write has finished when its bytes have left the port (TIOCOUTQ 0), not
//     merely when the kernel took them. A hung-up or removed device (read of
//     zero bytes after poll said readable, POLLHUP, POLLERR, EIO) completes
//     the pending operation with ERROR_DEVICE_REMOVED; it never makes a wait
//     spin.
//   * Port names: "COMn" opens the device path in the environment variable
//     TOVREL_COMn if set, else /dev/ttyS(n-1); an absolute path opens that
//     device (PortNames.h). Anything that is not a terminal is refused.
//   * A device that goes away while open (unplugged, hung up: a read of 0
//     after poll, POLLHUP, EIO, ENXIO, ENODEV) fails every later call on the
//     port with ERROR_DEVICE_REMOVED; only CloseHandle is left to do, which
//     also removes the lock file.
//   * Single-threaded: the handle table and pending operations belong to the
//     thread that uses the serial channel. GetLastError is per thread.
//
// Units: lengths in bytes, times in milliseconds, INFINITE = no limit.
#ifndef TOVREL_SERIAL_POSIX_WIN32COMM_H
#define TOVREL_SERIAL_POSIX_WIN32COMM_H

#include <cstdint>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char CHAR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu

// CreateFileA
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

// WaitForSingleObject
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

// GetLastError
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_REMOVED 1617u

// Comm events (SetCommMask, WaitCommEvent)
#define EV_RXCHAR 0x0001u

// PurgeComm
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// EscapeCommFunction
#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define SETBREAK 8u
#define CLRBREAK 9u

// DCB values
#define DTR_CONTROL_DISABLE 0x00u
#define DTR_CONTROL_ENABLE 0x01u
#define DTR_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_DISABLE 0x00u
#define RTS_CONTROL_ENABLE 0x01u
#define RTS_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_TOGGLE 0x03u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Device control block, laid out as Win32's.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
typedef DCB* LPDCB;

// Read time-outs, in ms (per byte for the multipliers). All read fields 0:
// a read completes only on its full count. ReadIntervalTimeout MAXDWORD with
// both read totals 0: a read returns at once with what is queued. Otherwise a
// non-zero total (multiplier x length + constant) or interval ends the read
// with the bytes moved so far, successfully. Writes likewise: a non-zero
// WriteTotalTimeoutMultiplier x length + WriteTotalTimeoutConstant ends a
// write that has not finished by then successfully, with the bytes that have
// left the port (the rest is not sent). A port starts with all fields 0.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
typedef COMMTIMEOUTS* LPCOMMTIMEOUTS;

// Queue state from ClearCommError: cbInQue is the number of bytes received
// and not yet read, cbOutQue the number written and not yet sent.
struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
typedef COMSTAT* LPCOMSTAT;

// Overlapped record: the caller zero-fills it and sets hEvent. Internal holds
// the pending marker or, once complete, 0 or the Win32 error of the
// operation; InternalHigh the bytes moved. The record and its buffer must
// stay valid until the operation completes or is cancelled.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// Opens a port. dwShareMode must be 0 and dwCreationDisposition
// OPEN_EXISTING; FILE_FLAG_OVERLAPPED is required. Returns the port handle,
// or INVALID_HANDLE_VALUE with GetLastError: ERROR_FILE_NOT_FOUND (no such
// device, or not a terminal), ERROR_SHARING_VIOLATION (a running process
// holds its lock file, which LastPortLockNotes names, or another open holds
// its flock or TIOCEXCL), ERROR_ACCESS_DENIED (no permission),
// ERROR_INVALID_PARAMETER (unsupported arguments); a terminal whose
// settings cannot be read (to be put back at the close) fails with the
// error of that read.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Creates an unnamed event. Null on failure (never INVALID_HANDLE_VALUE).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);

// Closes a port (putting back the whole termios and the low-latency flag
// found at its open, then releasing its flock, exclusivity and lock file,
// after cancelling what is pending on it) or an event. DTR and RTS are left
// as they are; the kernel's close drops them where the termios found has
// HUPCL. FALSE for a handle that is not open.
BOOL CloseHandle(HANDLE hObject);

// Checks the queue sizes (1 to 65536 bytes each); the kernel's queues are
// used as they are.
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);

// Applies rate (any rate, via termios2/BOTHER), byte size (5 to 8), parity,
// stop bits, software and hardware flow control and the DTR/RTS states; the
// line is raw, 8-bit clean. FALSE with ERROR_INVALID_PARAMETER for values
// outside those ranges, or the OS error if the driver refuses.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);

// Overlapped transfers; lpOverlapped is required and lpNumberOf... may be
// null. TRUE: finished at once. FALSE with ERROR_IO_PENDING: under way.
// FALSE with another error: failed to start.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);

// Result of an overlapped operation. Not finished and bWait FALSE: FALSE with
// ERROR_IO_INCOMPLETE; bWait TRUE drives it to completion first. Finished
// with a failure: FALSE with that error (ERROR_OPERATION_ABORTED after a
// cancel, ERROR_DEVICE_REMOVED after a hang-up).
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait);

// Waits up to dwMilliseconds for an event, driving the operations pending on
// it meanwhile. WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT when the time ran
// out, WAIT_FAILED for a handle that is not an event.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Cancels every operation pending on the port; each completes with
// ERROR_OPERATION_ABORTED and its event is signalled.
BOOL CancelIo(HANDLE hFile);

// Sets the events a WaitCommEvent waits for (only EV_RXCHAR is produced). A
// pending WaitCommEvent completes with a mask of 0.
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);

// Waits for a masked event. EV_RXCHAR is reported while received bytes are
// queued (in the edge-triggered mode of CommEventMode.h, only for bytes that
// arrived since the mask was set or the last event was reported). FALSE with
// ERROR_INVALID_PARAMETER when the mask is 0.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);

// Reports queue state; the line's error state is always 0 here.
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);

// PURGE_RXCLEAR flushes the input queue; PURGE_TXCLEAR flushes the output
// queue only when it still holds bytes that have not left the port (on a
// pseudo-terminal such a flush would discard what the peer has not read
// yet); the abort flags cancel pending reads or writes.
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);

// Sets or clears DTR, RTS or break. FALSE where the device has no modem
// lines (a pseudo-terminal).
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

#endif
