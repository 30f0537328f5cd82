#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "Cli.h"
#include "CliParts.h"
#include "ModuleClock.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "protocol/ModuleName.h"
#include "protocol/ModuleSearch.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"
#include "text/Cp936.h"

const char kUsage[] =
    "Usage: tovrel-cli [--port 1-6|PORT] [--baud RATE] [--trace] [--json] COMMAND [ARGS]\n"
    "\n"
    "Talks to the USB host module on a serial port (default COM1 at 9600 bit/s).\n"
    "\n"
    "Commands:\n"
    "  info                      the module's status and clock, one field a line (--json: one object)\n"
    "  set [--rate N] [--clock 'YY-MM-DD hh:mm:ss']\n"
    "                            set the module's rate (default: --baud) and clock (default: now)\n"
    "  search                    try COM1, COM2, then each port of `ports`, at all eight rates,\n"
    "                            until the module answers (--port is not opened first: a port\n"
    "                            that cannot be opened only ends its part; the kernel's console\n"
    "                            is left out unless named)\n"
    "  ports                     the serial ports present besides COM1 and COM2, with what they\n"
    "                            are, one a line (--json: an array)\n"
    "  put [OPTIONS] LOCAL [REMOTE]\n"
    "                            copy a PC file onto the disk, replacing REMOTE\n"
    "  get [OPTIONS] REMOTE [LOCAL]\n"
    "                            copy a disk file to the PC (LOCAL: REMOTE's last part here), to\n"
    "                            its end whatever size the open announced (a warning if longer);\n"
    "                            an empty REMOTE saves nothing: opening may just have created it\n"
    "      --verify              put reads the disk file back, get reads it a second time, and\n"
    "                            each compares as it reads; a difference names the first byte\n"
    "                            that differs (exit 11) and a get then saves nothing\n"
    "      --resume              put keeps the bytes REMOTE holds and sends the rest of LOCAL\n"
    "                            (refused if REMOTE is longer; with --verify, if they are not\n"
    "                            LOCAL's); get keeps what arrived in LOCAL.tovrel-resume when\n"
    "                            stopped, and the next get --resume continues it if it is the\n"
    "                            start of the same disk file (else it starts over, saying so)\n"
    "      --retries N           a chunk whose exchange failed (no answer, a bad or short answer,\n"
    "                            a refusal), or that --verify found different, goes again in\n"
    "                            place, up to N times in a row (default 5; 0: stop at once);\n"
    "                            the wait for each answer then fits the line (at most 2 s)\n"
    "      --wait MS             wait MS for each answer instead (1 to 60000)\n"
    "      --fast [RATE]         move the module to RATE (default 115200) for the transfer, its\n"
    "                            clock kept, and back to its own rate after (on Ctrl+C and the\n"
    "                            signals below too); the output says where it was left\n"
    "  close                     close the file the module has open (one a killed client left too)\n"
    "  rm NAME | mkdir NAME | cd NAME | rmdir NAME\n"
    "  shell                     a prompt for many commands on one connection (also reads a pipe)\n"
    "\n"
    "Options:\n"
    "  --port N|PORT    COM1..COM6 (TOVREL_COM1.. name their devices on Linux), or a port\n"
    "                   as `ports` names it (/dev/ttyUSB0, COM7); without it, the kernel's\n"
    "                   console is never opened\n"
    "  --baud RATE      4800 9600 14400 19200 38400 56000 57600 115200\n"
    "  --trace          print every frame in hex on stderr, and how the port is locked\n"
    "  --json           JSON output for info, search and ports\n"
    "  --progress       a progress bar on stderr even when it is not a terminal\n"
    "\n"
    "Ctrl+C during put, get or a shell transfer stops it after the chunk on the line:\n"
    "put and get close the disk file, which holds what was written; no PC file is left half-made\n"
    "(but for get --resume's LOCAL.tovrel-resume, kept for the next get --resume). TERM, HUP,\n"
    "QUIT, ALRM, USR1 and USR2 do the same, then end the client on that signal.\n"
    "\n"
    "Exit status: 0 done, 2 bad input, 3 no answer, 4 refused by the module,\n"
    "5 port not opened, 6 PC file error, 7 transfer incomplete or interrupted,\n"
    "8 the disk file is empty: it may just have been created by opening it,\n"
    "9 port lost: it went away (adapter pulled, line hung up) while in use,\n"
    "10 standard output closed (a pipe whose reader went away),\n"
    "11 verify mismatch: what was read back differs (the message names the first byte).\n"
    "A PC file is saved through a new temporary file beside it, renamed over it once whole;\n"
    "a target that is a symbolic link is replaced by a file.\n";

Result Failure(int code, std::string message) { return Result{code, std::move(message)}; }

namespace cli {

const char* ModuleStatusName(uint8_t status) {
    static const char* const kNames[] = {
        "success",      "not found",   "exists",       "not empty",   "bad name",   "no file open",
        "a file is already open", "bad handle", "bad position", "bad request", "no disk", "disk error",
    };
    return status < sizeof kNames / sizeof kNames[0] ? kNames[status] : nullptr;
}

std::string RefusalText(uint8_t status) {
    const char* name = ModuleStatusName(status);
    return "refused by the module (status " + std::to_string(status) + (name != nullptr ? std::string(": ") + name : "") +
           ")";
}

std::string ExchangeFailureReason() {
    uint8_t status = 0;
    switch (LastExchangeFailure(&status)) {
        case TransferEnd::kPortLost: return "port lost";
        case TransferEnd::kNoAnswer: return "no answer from the module";
        case TransferEnd::kCutShort: return "the module's answer was cut short";
        case TransferEnd::kRefused: return RefusalText(status);
        default: return "the module's answer was not understood";
    }
}

Result ExchangeFailure(const std::string& what) {
    uint8_t status = 0;
    const TransferEnd failure = LastExchangeFailure(&status);
    if (failure == TransferEnd::kPortLost) return PortLostFailure(what);
    return Failure(failure == TransferEnd::kRefused ? kExitRefused : kExitNoAnswer, what + ": " + ExchangeFailureReason());
}

void ArmExchange() {
    theResponseReceiver.m_done = 0;
    theResponseReceiver.m_outcome = ReceiveOutcome::kNoAnswer;
}

Result RequireArgs(const std::vector<std::string>& args, size_t min, size_t max, const char* usage) {
    if (args.size() < min || args.size() > max) return Failure(kExitBadInput, std::string("usage: ") + usage);
    return {};
}

Result RequireNoOpenFile(const Session& s, const char* what) {
    if (s.file != nullptr) return Failure(kExitBadInput, std::string(what) + ": a file is open; close it first");
    return {};
}

Result CloseFile(Session& s) {
    s.file = nullptr;
    s.fileName.clear();
    for (int inARow = 0;;) {
        ArmExchange();
        if (DiskCloseFile() == 0) return {};
        const Result failed = ExchangeFailure("close");
        if (s.retries == nullptr || theSerialChannel.PortLost()) return failed;
        // A close whose answer was lost may have taken (and a second one is
        // then refused): the module's status tells whether a file is open.
        DeviceInfo info{};
        ArmExchange();
        if (DiskGetInfo(&info) && info.fileHandle == 0xFF) return {};
        if (!TakeRetry(s.retries, &inARow)) return failed;
    }
}

std::string CloseAdvice(const Session& s) { return s.inShell ? "`close`" : "`tovrel-cli close`"; }

Result OpenFile(Session& s, const std::string& utf8, const std::string& what) {
    Result r = RequireNoOpenFile(s, what.c_str());
    if (!r.ok()) return r;
    std::string name;
    r = ModuleName(utf8, &name);
    if (!r.ok()) return r;
    const std::string label = what + " " + utf8;
    uint8_t status = 0;
    for (int inARow = 0;;) {
        ArmExchange();
        DiskFileHandle* file = DiskOpenFile(name.c_str());
        if (file != nullptr) {
            s.file = file;
            s.fileName = utf8;
            return {};
        }
        if (LastExchangeFailure(&status) == TransferEnd::kRefused) break;
        const Result failed = ExchangeFailure(label);
        // Opened again only where the first surely did not take: a file the
        // module shows open may be this one, or another client's.
        if (theSerialChannel.PortLost() || !TakeRetry(s.retries, &inARow)) return failed;
        DeviceInfo info{};
        ArmExchange();
        if (DiskGetInfo(&info) && info.fileHandle != 0xFF) {
            return Failure(failed.code, failed.message + "; the module now has a file open (handle " +
                                            std::to_string(info.fileHandle) + "): close it with " + CloseAdvice(s));
        }
    }
    // A file another client left open (one killed in a transfer) keeps
    // every open out: the module's status tells which, if it answers.
    DeviceInfo info{};
    ArmExchange();
    if (DiskGetInfo(&info) && info.fileHandle != 0xFF) {
        return Failure(kExitRefused, label + ": refused: the module still has a file open (handle " +
                                         std::to_string(info.fileHandle) + ", " + std::to_string(info.fileSize) +
                                         " bytes); close it with " + CloseAdvice(s));
    }
    std::string message = label + ": " + RefusalText(status);
    if (status == kModuleStatusFileOpen) message += "; close it with " + CloseAdvice(s);
    return Failure(kExitRefused, message);
}

bool ResolveOnModule(const Session& s, const std::string& utf8, std::vector<std::string>* path) {
    const bool absolute = !utf8.empty() && utf8[0] == '/';
    if (!absolute && !s.moduleDirKnown) return false;
    std::vector<std::string> out = absolute ? std::vector<std::string>() : s.moduleDir;
    std::string part;
    for (size_t i = 0; i <= utf8.size(); ++i) {
        if (i < utf8.size() && utf8[i] != '/') {
            part += utf8[i];
            continue;
        }
        if (part == "..") {
            if (out.empty()) return false;
            out.pop_back();
        } else if (part.find('\\') != std::string::npos) {
            return false;
        } else if (!part.empty() && part != ".") {
            out.push_back(part);
        }
        part.clear();
    }
    *path = out;
    return true;
}

std::string CommandOf(const std::string& label) { return label.substr(0, label.find(' ')); }

Result PcPath(const std::string& what, const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return Failure(kExitBadInput, what + ": a PC file name with a NUL byte is refused");
    return {};
}

}  // namespace cli

using namespace cli;

namespace {

Result Info(Session& s) {
    DeviceInfo info{};
    ArmExchange();
    if (!DiskGetInfo(&info)) return ExchangeFailure("info");
    PrintInfo(s, info);
    return {};
}

Result Set(Session& s, const std::vector<std::string>& args) {
    DeviceSettings settings{};
    settings.baudIndex = static_cast<uint8_t>(BaudIndex(s.baud));
    ClockNow(&settings);
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--rate" && hasValue) {
            long rate = 0;
            const int index = ParseInt(args[++i], 1, 1000000, &rate) ? BaudIndex(rate) : -1;
            if (index < 0) return Failure(kExitBadInput, "set: --rate takes one of the eight module rates");
            settings.baudIndex = static_cast<uint8_t>(index);
        } else if (args[i] == "--clock" && hasValue) {
            if (!ParseClock(args[++i], &settings))
                return Failure(kExitBadInput, "set: --clock takes 'YY-MM-DD hh:mm:ss', for instance '26-12-07 09:30:00'");
        } else {
            return Failure(kExitBadInput, "set: unknown argument " + args[i]);
        }
    }
    ArmExchange();
    if (!DiskSetParams(&settings)) return ExchangeFailure("set");
    const int rate = kModuleBaudRates[settings.baudIndex];
    *s.out << "set: rate " << rate << ", clock " << ClockText(settings) << '\n';
    if (rate != s.baud) {
        // The module answers at its new rate from now on.
        s.baud = rate;
        Result reopened = OpenPort(s);
        if (!reopened.ok()) return reopened;
    }
    return {};
}

Result NameCommand(const std::string& what, const std::string& utf8, uint8_t (*command)(const char*)) {
    std::string name;
    Result r = ModuleName(utf8, &name);
    if (!r.ok()) return r;
    ArmExchange();
    if (command(name.c_str()) != 0) return ExchangeFailure(what + " " + utf8);
    return {};
}

// cd, following the module's current directory: what it confirmed is
// taken, a refusal leaves it, and a cd it may or may not have done (no
// answer, an answer not understood) or whose name cannot be followed
// leaves it unknown.
Result ChangeDir(Session& s, const std::string& utf8) {
    const Result r = NameCommand("cd", utf8, DiskSetCurrentDir);
    if (r.code == kExitBadInput || r.code == kExitRefused) return r;
    std::vector<std::string> to;
    s.moduleDirKnown = r.ok() && ResolveOnModule(s, utf8, &to);
    if (s.moduleDirKnown) s.moduleDir = to;
    return r;
}

Result Seek(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 2, "seek OFFSET [start|cur|end]");
    if (!r.ok()) return r;
    long offset = 0;
    if (!ParseInt(args[0], INT32_MIN, INT32_MAX, &offset)) return Failure(kExitBadInput, "seek: OFFSET is a 32-bit number");
    uint8_t origin = 0;
    if (args.size() == 2) {
        if (args[1] == "start") origin = 0;
        else if (args[1] == "cur") origin = 1;
        else if (args[1] == "end") origin = 2;
        else return Failure(kExitBadInput, "seek: the origin is start, cur or end");
    }
    if (s.file == nullptr) return Failure(kExitBadInput, "seek: no file is open");
    ArmExchange();
    if (DiskSeek(s.file, static_cast<int32_t>(offset), origin) != 0) return ExchangeFailure("seek");
    return {};
}

}  // namespace

bool ParseInt(const std::string& text, long min, long max, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *value = v;
    return true;
}

int BaudIndex(long rate) {
    for (int i = 0; i < 8; ++i)
        if (kModuleBaudRates[i] == rate) return i;
    return -1;
}

void PrintInfo(const Session& s, const DeviceInfo& info) {
    std::ostream& out = *s.out;
    const bool knownRate = info.baudIndex < 8;
    const int rate = knownRate ? kModuleBaudRates[info.baudIndex] : 0;
    const bool fileOpen = info.fileHandle != 0xFF;
    if (s.json) {
        out << "{\"port\": " << JsonString(theSerialChannel.m_pszPortName) << ", \"baudIndex\": " << int(info.baudIndex)
            << ", \"rate\": " << rate << ", \"clock\": \"" << ClockText(info) << "\", \"diskPresent\": "
            << (info.diskPresent != 0 ? "true" : "false") << ", \"fileOpen\": " << (fileOpen ? "true" : "false")
            << ", \"fileHandle\": " << int(info.fileHandle) << ", \"fileSize\": " << info.fileSize << "}\n";
        return;
    }
    out << "port: " << theSerialChannel.m_pszPortName << '\n';
    if (knownRate)
        out << "rate: " << rate << '\n';
    else
        out << "rate: unknown (index " << int(info.baudIndex) << ")\n";
    out << "clock: " << ClockText(info) << '\n';
    out << "disk: " << (info.diskPresent != 0 ? "present" : "none") << '\n';
    if (fileOpen)
        out << "file: open, handle " << int(info.fileHandle) << ", " << info.fileSize << " bytes\n";
    else
        out << "file: none\n";
}

Result ModuleName(const std::string& utf8, std::string* name) {
    switch (EncodeModuleName(utf8, name)) {
        case NameProblem::kNone: return {};
        case NameProblem::kEmpty: return Failure(kExitBadInput, "an empty name names nothing on the disk; nothing sent");
        case NameProblem::kNul:
            return Failure(kExitBadInput, "\"" + utf8.substr(0, utf8.find('\0')) + "\\0" + "...\": a name with a NUL byte is refused");
        case NameProblem::kNotCp936: return Failure(kExitBadInput, "\"" + utf8 + "\": not a name code page 936 can hold");
        case NameProblem::kNotAsTyped: return Failure(kExitBadInput, "\"" + utf8 + "\": would not reach the module as typed");
        case NameProblem::kTooLong: break;
    }
    return Failure(kExitBadInput, "\"" + utf8 + "\": longer than 255 bytes");
}

Result RunCommand(Session& s, const std::string& command, const std::vector<std::string>& args) {
    auto none = [&](const char* usage) { return RequireArgs(args, 0, 0, usage); };
    auto one = [&](const char* usage) { return RequireArgs(args, 1, 1, usage); };
    Result r;
    if (command == "info") return (r = none("info")).ok() ? Info(s) : r;
    if (command == "set") return Set(s, args);
    if (command == "search") return (r = none("search")).ok() ? Search(s) : r;
    if (command == "ports") return (r = none("ports")).ok() ? ListPorts(s) : r;
    if (command == "put") return Put(s, args);
    if (command == "get") return Get(s, args);
    if (command == "close") return (r = none("close")).ok() ? CloseFile(s) : r;
    if (command == "rm") return (r = one("rm NAME")).ok() ? NameCommand("rm", args[0], DiskDeleteFile) : r;
    if (command == "mkdir") return (r = one("mkdir NAME")).ok() ? NameCommand("mkdir", args[0], DiskMakeDir) : r;
    if (command == "cd") return (r = one("cd NAME")).ok() ? ChangeDir(s, args[0]) : r;
    if (command == "rmdir") return (r = one("rmdir NAME")).ok() ? NameCommand("rmdir", args[0], DiskRemoveDir) : r;
    // The rest keep a file open between commands: the shell's.
    if (command == "open") return (r = one("open NAME")).ok() ? OpenFile(s, args[0], "open") : r;
    if (command == "write") return Write(s, args);
    if (command == "writefile") return WriteFromPc(s, args);
    if (command == "read") return Read(s, args);
    if (command == "readfile") return ReadToPc(s, args);
    if (command == "seek") return Seek(s, args);
    return Failure(kExitBadInput, "unknown command \"" + command + "\" (try --help)");
}
