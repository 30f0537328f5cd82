// tovrel-cli: the module's commands from a shell or a script, over the same
// serial channel and protocol code as the window.
//
// Every command opens nothing itself: main() opens the port once, then runs
// one command, or the shell runs many on the same open port. The search
// finds its own port and the port list needs none, so main() opens no port
// for them. A command
// returns a Result: an exit code and, when it failed, a one-line message.
#ifndef TOVREL_CLI_CLI_H
#define TOVREL_CLI_CLI_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

struct DeviceInfo;

enum ExitCode {
    kExitOk = 0,
    kExitBadInput = 2,    // usage, arguments, a name the module cannot take
    kExitNoAnswer = 3,    // the module did not answer, or not in its format
    kExitRefused = 4,     // the module answered with a failure status
    kExitPortFailed = 5,  // the serial port could not be opened
    kExitLocalFile = 6,   // a PC file could not be read or written
    kExitIncomplete = 7,  // a transfer moved fewer bytes than asked, or Ctrl+C stopped it
    kExitEmptyFile = 8,   // the disk file is empty: it may just have been created by opening it
    kExitPortLost = 9,    // the serial port went away (adapter pulled, line hung up) while in use
    kExitOutputClosed = 10,  // standard output was closed (a pipe whose reader went away)
    kExitVerifyMismatch = 11,  // --verify: what was read back differs (the first differing byte is named)
};

struct Result {
    int code = kExitOk;
    std::string message;  // one line, for stderr, when code is not 0
    bool ok() const { return code == kExitOk; }
};

Result Failure(int code, std::string message);

struct Session {
    std::string port = "1";  // 1..6 for COM1..COM6, or a port's name (COM7, /dev/ttyUSB0)
    bool portNamed = false;  // --port was given: the port is used even if it is the kernel's console
    int baud = 9600;
    bool trace = false;
    bool json = false;
    bool progress = false;   // a progress bar on stderr for transfers (--progress, or stderr a terminal)
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
    struct DiskFileHandle* file = nullptr;  // the file the shell has open
    std::string fileName;                    // its name as typed, for messages; empty when none
    bool inShell = false;                    // commands come from the shell's prompt
    struct TransferRetries* retries = nullptr;  // put's or get's, while one runs with --retries
    // The module's current directory as this session's cd commands left it,
    // from the root (a process starts at the root: the one before may have
    // left another). Not known after a cd whose outcome or name the client
    // cannot tell (no answer, a name with "\"), until an absolute cd.
    std::vector<std::string> moduleDir;
    bool moduleDirKnown = true;
};

// Selects the session's port and rate on theSerialChannel without opening
// it; refuses a bad --port or --baud.
Result SelectPort(const Session& session);
// Selects as above and opens theSerialChannel. A refusal says why: which
// process holds the port, no such port, no permission, or (without
// --port) the kernel's console, which is never opened unless named. Under
// --trace it notes a port held by flock alone, without a lock file.
Result OpenPort(const Session& session);

// The commands about ports rather than the module: the port list, and the
// search over COM1, COM2 and that list.
Result ListPorts(Session& session);
Result Search(Session& session);

// Failure of a command whose port went away: exit 9, "port lost".
Result PortLostFailure(const std::string& what, const std::string& detail = "");

// Shared by the commands.
bool ParseInt(const std::string& text, long min, long max, long* value);
// A JSON string literal of the text, quotes included: valid JSON whatever
// the bytes (control characters escaped, a byte that is not UTF-8 as
// \ufffd).
std::string JsonString(const std::string& text);
void PrintInfo(const Session& session, const DeviceInfo& info);
int BaudIndex(long rate);
// The index of a rate written exactly as one of the eight ("9600"; not
// "9600x", "09600" or "+9600"), or -1.
int RateIndexOf(const std::string& text);
// The eight rates, "4800 9600 ... 115200", for messages.
std::string RateList();

// One command with its arguments (argv after the command name).
Result RunCommand(Session& session, const std::string& command, const std::vector<std::string>& args);

// The ftp-like prompt: one command a line from `in` until EOF or "quit".
// Returns the code of the last command that failed, 0 if none did.
int RunShell(Session& session, std::istream& in, bool interactive);

// Converts a name typed in UTF-8 into the module's code page; refuses
// characters it cannot hold and names over 255 bytes.
Result ModuleName(const std::string& utf8, std::string* name);

#ifndef _WIN32
// Removes the held port locks and partial PC files, then ends the process
// on `signal` with its default action. Async-signal-safe.
void CleanUpAndRaise(int signal);
#endif

extern const char kUsage[];

#endif
