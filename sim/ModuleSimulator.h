// A simulated USB host module on the master side of a pseudo-terminal.
//
// The program opens the slave (as COM1 through TOVREL_COM1) and talks to it
// exactly as to the hardware: request frames 55 3A ..., answers 53 3A ....
// The simulator answers only while the line speed the program set on the
// slave equals the module's own rate, so a port-and-rate search meets what it
// meets on hardware. It serves on a thread of its own (Start) or on the
// calling thread (Run, for the tovrel-sim executable).
//
// The disk is a host folder or, with an empty folder name, a temporary
// folder of its own that goes with the simulator.
// Names arrive as code-page-936 bytes and are kept as UTF-8; no name reaches
// outside the disk (no "..", no host paths). The module has one open file
// with its own pointer and a current directory of its own.
//
// Faults are for tests: each is armed from any thread and takes effect at
// the next request that matches; one-shot faults disarm themselves.
#ifndef TOVREL_SIM_MODULESIMULATOR_H
#define TOVREL_SIM_MODULESIMULATOR_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimLink.h"

// Faults drawn at random, for soak runs: each request is faulted with
// `probability`, by a kind a program must survive without losing what it
// reported as moved: silent, delay (1 to maxDelayMs ms; past the program's
// wait, the answer comes too late), garbage (1 to 8 bytes), wrong-marker, truncate (an
// answer with a payload cut inside it), oversize (513 to 600 bytes, one
// write, so a program's next purge takes it all), status, short-write (0
// bytes up to one fewer than sent), short-read (1 byte up to one fewer than
// asked: an empty answer is how a file ends) and corrupt (a byte of a write
// or read chunk). Never a hang-up or a claimed size. The same seed and the
// same requests give the same faults.
struct SimRandomFaults {
    double probability = 0;     // per request, 0 to 1; 0: none
    uint64_t seed = 1;
    uint32_t maxDelayMs = 1500; // a delay fault's longest, in ms; 0: no delays
};

struct SimConfig {
    uint32_t rate = 9600;       // the module's rate at start; one of the eight module rates
    bool diskPresent = true;    // false: status says no disk, disk commands fail
    std::string diskFolder;     // host folder holding the disk; empty: a temporary one
    bool pace = false;          // move bytes at the line's real byte time (10 bits a byte)
    std::FILE* trace = nullptr; // every frame in hex with its direction; null: none
    SimRandomFaults random;     // faults drawn at random besides those armed
};

// What goes wrong, and when. Request numbers count every request frame the
// simulator has received since Start, the first being 1.
struct SimFault {
    enum Kind {
        kNone,
        kSilent,            // no answer at all
        kDelay,             // answer after `value` ms
        kGarbageFirst,      // `bytes` before the answer's header
        kWrongMarker,       // answer begins 53 3B
        kTruncatePayload,   // send only `value` bytes of the payload, then stop
        kOversizeLength,    // announce `value` (> 512) payload bytes and send them
        kStatus,            // answer with status `value` (non-zero), no payload
        kShortWrite,        // a write chunk reports `value` bytes written (and writes that many)
        kHangUp,            // close the line (the master) instead of answering
        kShortRead,         // a read chunk answers at most `value` bytes (and moves the pointer by those)
        kClaimSize,         // an open answers that the file holds `value` bytes, whatever it holds
        kCorrupt,           // flips bit 0 of byte `value` (past the end: the last byte) of a write
                            // chunk's data as stored, or of a read chunk's payload as answered; the
                            // answer is otherwise right, so nothing on the line shows it. A request
                            // without file data is answered unchanged (the fault is spent)
    };
    Kind kind = kNone;
    uint32_t value = 0;
    std::vector<uint8_t> bytes;
    // Which request: the n-th from now (1 = the next). For kShortWrite, the
    // n-th write chunk (command 0x20) from now; for kShortRead the n-th read
    // chunk (0x30), for kClaimSize the n-th open (0x10).
    uint32_t nth = 1;
    bool repeat = false;  // keep applying to every later matching request
};

// Whether the module has this rate (one of eight, 4800 to 115200 bit/s).
bool IsModuleRate(uint32_t rate);

// The kind's name as tovrel-sim's --fault takes it ("short-write").
const char* SimFaultKindName(SimFault::Kind kind);

// A fault the random mode injected, as applied.
struct SimInjectedFault {
    uint64_t request = 0;  // its number since Start, the first being 1
    uint8_t command = 0;
    SimFault fault;
};

// The module's own state, for tests that keep a model of it. Paths are
// components from the disk's root, in UTF-8.
struct SimModuleState {
    std::vector<std::string> currentDir;  // empty: the root
    bool fileOpen = false;
    std::vector<std::string> openFile;    // empty when none is open
    uint8_t handle = 0xFF;                // 0xFF when none is open
    uint32_t position = 0;                // the open file's pointer, bytes
    uint32_t size = 0;                    // the open file's size now, bytes
    int64_t clockOffset = 0;              // the module's clock minus the host's UTC, seconds
};

class ModuleSimulator {
public:
    explicit ModuleSimulator(const SimConfig& config);
    ~ModuleSimulator();  // stops serving and closes the terminal
    ModuleSimulator(const ModuleSimulator&) = delete;
    ModuleSimulator& operator=(const ModuleSimulator&) = delete;

    // Opens the pseudo-terminal and serves on a thread of its own. False
    // with a message when the terminal or the disk folder cannot be had.
    bool Start(std::string* error);
    // Opens the pseudo-terminal and serves on the calling thread until
    // Stop() (from another thread or a signal handler's flag). 0 or 1.
    int Run(std::string* error, const volatile bool* stopFlag);
    void Stop();

    // The slave's path, for TOVREL_COMn; valid after Start/Run began.
    std::string SlavePath() const;
    // Makes `path` a symbolic link to the slave (after Start), as
    // PlaceTerminalLink does. The simulator takes it down again, if it
    // still names its terminal, before a hang-up closes the line (the
    // kernel hands a freed terminal's name to the next program that asks)
    // and when it goes.
    LinkPlaced LinkTerminal(const std::string& path, std::string* error);
    // The host folder holding the disk; valid after Start/Run began.
    std::string DiskFolder() const;

    void ArmFault(const SimFault& fault);
    void ClearFaults();
    // Plugs or pulls the flash disk.
    void SetDiskPresent(bool present);

    // The module's current rate.
    uint32_t Rate() const;
    // Request frames received whole since Start.
    uint64_t RequestCount() const;
    // The faults drawn at random since the last call, oldest first.
    std::vector<SimInjectedFault> TakeInjectedFaults();
    SimModuleState ModuleState() const;
    // Every request frame received whole (header and data), oldest first.
    std::vector<std::vector<uint8_t>> Requests() const;
    void ClearRequests();

    // The disk, by module path ("/DIR/FILE.TXT"; relative to the root),
    // names in UTF-8.
    bool ReadDiskFile(const std::string& path, std::vector<uint8_t>* contents) const;
    bool WriteDiskFile(const std::string& path, const std::vector<uint8_t>& contents);
    bool DiskDirectoryExists(const std::string& path) const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

#endif
