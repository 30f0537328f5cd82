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

struct SimConfig {
    uint32_t rate = 9600;       // the module's rate at start; one of the eight module rates
    bool diskPresent = true;    // false: status says no disk, disk commands fail
    std::string diskFolder;     // host folder holding the disk; empty: a temporary one
    bool pace = false;          // move bytes at the line's real byte time (10 bits a byte)
    std::FILE* trace = nullptr; // every frame in hex with its direction; null: none
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
    // The host folder holding the disk; valid after Start/Run began.
    std::string DiskFolder() const;

    void ArmFault(const SimFault& fault);
    void ClearFaults();
    // Plugs or pulls the flash disk.
    void SetDiskPresent(bool present);

    // The module's current rate.
    uint32_t Rate() const;
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
