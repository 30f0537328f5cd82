#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>

#include "Cli.h"
#include "CtrlCStop.h"
#include "ModuleClock.h"
#include "Terminal.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
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
    "  put [--verify] [--resume] LOCAL [REMOTE]\n"
    "                            copy a PC file onto the disk, replacing REMOTE\n"
    "  get [--verify] [--resume] REMOTE [LOCAL]\n"
    "                            copy a disk file to the PC (LOCAL: REMOTE's last part here);\n"
    "                            an empty REMOTE saves nothing: opening may just have created it\n"
    "      --verify              put reads the disk file back, get reads it a second time, and\n"
    "                            each compares as it reads; a difference names the first byte\n"
    "                            that differs (exit 11) and a get then saves nothing\n"
    "      --resume              put keeps the bytes REMOTE holds and sends the rest of LOCAL\n"
    "                            (refused if REMOTE is longer; with --verify, if they are not\n"
    "                            LOCAL's); get keeps what arrived in LOCAL.tovrel-resume when\n"
    "                            stopped, and the next get --resume continues it\n"
    "  close                     close the file the module has open\n"
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
    "(but for get --resume's LOCAL.tovrel-resume, kept for the next get --resume).\n"
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

namespace {

// How the last exchange ended, for a command that reported failure.
Result ExchangeFailure(const std::string& what) {
    if (theSerialChannel.PortLost()) return PortLostFailure(what);
    if (theResponseReceiver.m_done != 0xFF) return Failure(kExitNoAnswer, what + ": no answer from the module");
    if (theResponseReceiver.m_status != 0) {
        return Failure(kExitRefused,
                       what + ": refused by the module (status " + std::to_string(theResponseReceiver.m_status) + ")");
    }
    return Failure(kExitNoAnswer, what + ": the module's answer was not understood");
}

// So that a command which sends nothing reads as unanswered.
void ArmExchange() { theResponseReceiver.m_done = 0; }

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

Result RequireArgs(const std::vector<std::string>& args, size_t min, size_t max, const char* usage) {
    if (args.size() < min || args.size() > max) return Failure(kExitBadInput, std::string("usage: ") + usage);
    return {};
}

Result RequireNoOpenFile(const Session& s, const char* what) {
    if (s.file != nullptr) return Failure(kExitBadInput, std::string(what) + ": a file is open; close it first");
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

Result CloseFile(Session& s) {
    s.file = nullptr;
    s.fileName.clear();
    ArmExchange();
    if (DiskCloseFile() != 0) return ExchangeFailure("close");
    return {};
}

Result OpenFile(Session& s, const std::string& utf8) {
    Result r = RequireNoOpenFile(s, "open");
    if (!r.ok()) return r;
    std::string name;
    r = ModuleName(utf8, &name);
    if (!r.ok()) return r;
    ArmExchange();
    DiskFileHandle* file = DiskOpenFile(name.c_str());
    if (file == nullptr) return ExchangeFailure("open " + utf8);
    s.file = file;
    s.fileName = utf8;
    return {};
}

// The command that starts a transfer's messages: "put" of "put DATA.BIN".
std::string CommandOf(const std::string& label) { return label.substr(0, label.find(' ')); }

// A PC path goes to the system as a C string: a NUL would cut it short.
Result PcPath(const std::string& what, const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return Failure(kExitBadInput, what + ": a PC file name with a NUL byte is refused");
    return {};
}

// Why the chunk exchange just made did not deliver: for messages.
std::string ChunkFailureReason() {
    if (theSerialChannel.PortLost()) return "port lost";
    if (theResponseReceiver.m_done != 0xFF) return "no answer from the module";
    if (theResponseReceiver.m_status != 0)
        return "refused by the module (status " + std::to_string(theResponseReceiver.m_status) + ")";
    return "the module's answer was not understood";
}

// An answered chunk with status 0: the count it carried is the truth.
bool ChunkAnswered() {
    return !theSerialChannel.PortLost() && theResponseReceiver.m_done == 0xFF && theResponseReceiver.m_status == 0;
}

// Takes the bytes of a read, chunk by chunk; false with *error stops it.
using ReadSink = std::function<bool(const uint8_t* data, size_t size, std::string* error)>;
// Gives the bytes of a write: fills up to size, fewer only at the end (0:
// the end); -1 with *error on failure.
using WriteSource = std::function<long long(uint8_t* data, size_t size, std::string* error)>;

// A progress total that never claims the end before it has come, so that
// Ctrl+C (which stops only short of the total) still works past an
// estimate that was too small.
uint32_t ShownTotal(uint64_t done, uint64_t estimate, bool ended) {
    const uint64_t total = ended ? done : std::max<uint64_t>(estimate, done + 1);
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

// Reads from the file pointer in 512-byte chunks into sink, drawing the
// progress bar and stopping between chunks on Ctrl+C.
//   exact: exactly `limit` bytes are due; an answer with fewer is a failure.
//   otherwise: up to `limit` bytes, to the end of the file. The end is an
//   answered chunk (status 0) with fewer bytes than asked; one that held
//   some is confirmed by a read that answers none, since a module that
//   answers short in the middle of a file would otherwise pass for its end.
// Anything else before the end (no answer, a refusal, a bad frame, a short
// answer in the middle) fails with exit 7 (9 for a lost port), saying how
// far it came and what that spared (`untouched`). *got: bytes delivered,
// counted from `from`, the file pointer's offset (for the bar and messages).
Result ReadChunks(Session& s, uint64_t limit, bool exact, uint64_t estimate, uint64_t from, const ReadSink& sink,
                  const std::string& label, const CtrlCStop& stop, const std::string& untouched, uint64_t* got) {
    const std::string what = CommandOf(label);
    *got = from;
    if (s.file == nullptr) return Failure(kExitBadInput, what + ": no file is open");
    ProgressBar bar(s.err, label, s.progress);
    auto so_far = [&]() {
        return std::to_string(*got) + (exact ? " of " + std::to_string(limit) : std::string()) + " bytes read";
    };
    auto failed = [&](const std::string& reason) {
        if (theSerialChannel.PortLost()) return PortLostFailure(what, so_far() + "; " + untouched);
        return Failure(kExitIncomplete, what + ": " + so_far() + ": " + reason + "; " + untouched);
    };
    uint8_t chunk[DISK_CHUNK_SIZE];
    bool ended = false;
    while (*got < limit && !ended) {
        const uint16_t ask = static_cast<uint16_t>(std::min<uint64_t>(DISK_CHUNK_SIZE, limit - *got));
        ArmExchange();
        const uint16_t n = DiskReadChunk(chunk, ask, s.file);
        if (!ChunkAnswered() || n > ask) return failed(ChunkFailureReason());
        std::string error;
        if (n != 0 && !sink(chunk, n, &error)) {
            return Failure(kExitLocalFile, what + ": " + error + " (" + std::to_string(*got) + " bytes read); " + untouched);
        }
        *got += n;
        if (n < ask) {
            if (exact) return failed("the file ended early");
            if (n != 0) {
                // Confirm the end: a real end answers the next read with nothing.
                uint8_t probe[DISK_CHUNK_SIZE];
                ArmExchange();
                const uint16_t more = DiskReadChunk(probe, ask, s.file);
                if (!ChunkAnswered()) return failed(ChunkFailureReason());
                if (more != 0) return failed("the module answered short in the middle of the file");
            }
            ended = true;
        }
        const bool done = ended || *got == limit;
        if (!ReportTransferProgress(static_cast<uint32_t>(std::min<uint64_t>(*got, UINT32_MAX)),
                                    exact ? static_cast<uint32_t>(limit) : ShownTotal(*got, estimate, done)) ||
            stop.Stopped()) {
            if (!done) return Failure(kExitIncomplete, what + ": interrupted: " + std::to_string(*got) + " of " +
                                                           std::to_string(exact ? limit : std::max(estimate, *got)) +
                                                           " bytes read; " + untouched);
        }
    }
    return {};
}

// Writes at the file pointer in 512-byte chunks from source, drawing the
// progress bar and stopping between chunks on Ctrl+C. The count is what
// the module acknowledged, chunk by chunk, from `from`: the file pointer's
// offset, which the count starts at. `holder` names what keeps the bytes of
// a write cut short (empty: the open file, at its pointer). `estimate`: the
// size expected, for the bar and messages (0: unknown).
Result WriteChunks(Session& s, const WriteSource& source, uint64_t estimate, uint64_t from, const std::string& label,
                   const CtrlCStop& stop, const std::string& holder, uint64_t* written) {
    const std::string what = CommandOf(label);
    *written = from;
    if (s.file == nullptr) return Failure(kExitBadInput, what + ": no file is open");
    ProgressBar bar(s.err, label, s.progress);
    uint64_t offered = from;  // bytes taken from the source, and those before
    auto moved = [&]() {
        return std::to_string(*written) + " of " + std::to_string(std::max(estimate, offered)) + " bytes written";
    };
    auto kept = [&]() {
        return holder.empty() ? std::string(" at the file pointer")
                              : "; " + holder + " holds the first " + std::to_string(*written);
    };
    uint8_t buffers[2][DISK_CHUNK_SIZE];
    int current = 0;
    std::string error;
    long long n = source(buffers[current], DISK_CHUNK_SIZE, &error);
    while (n != 0) {
        if (n < 0) return Failure(kExitLocalFile, what + ": " + error + "; " + moved() + kept());
        offered += static_cast<uint64_t>(n);
        // The module keeps sizes in 32 bits.
        if (offered > UINT32_MAX) return Failure(kExitIncomplete, what + ": the file is larger than 4 GiB; " + moved() + kept());
        ArmExchange();
        const uint16_t acked = DiskWriteChunk(buffers[current], static_cast<uint16_t>(n), s.file);
        const bool answered = ChunkAnswered();
        *written += std::min<uint64_t>(acked, static_cast<uint64_t>(n));
        if (!answered || acked != n) {
            if (theSerialChannel.PortLost()) return PortLostFailure(what, moved());
            if (*written == 0 && !answered) return ExchangeFailure(what);
            const std::string reason = answered ? "the module took " + std::to_string(acked) + " of a chunk's " +
                                                      std::to_string(n) + " bytes"
                                                : ChunkFailureReason();
            return Failure(kExitIncomplete, what + ": " + moved() + ": " + reason + kept());
        }
        // Read ahead, so the bar knows the last chunk when it is sent.
        current ^= 1;
        n = source(buffers[current], DISK_CHUNK_SIZE, &error);
        const bool ended = n == 0;
        if (!ReportTransferProgress(static_cast<uint32_t>(*written), ShownTotal(*written, estimate, ended)) ||
            stop.Stopped()) {
            if (!ended) return Failure(kExitIncomplete, what + ": interrupted: " + moved() + kept());
        }
    }
    return {};
}

WriteSource BytesSource(const std::vector<uint8_t>& data) {
    auto at = std::make_shared<size_t>(0);
    return [&data, at](uint8_t* out, size_t size, std::string*) -> long long {
        const size_t n = std::min(size, data.size() - *at);
        if (n != 0) std::memcpy(out, data.data() + *at, n);
        *at += n;
        return static_cast<long long>(n);
    };
}

// Opening creates a missing file, so an empty one may be what a mistyped
// name left behind. Nothing is saved, and nothing on the disk is deleted:
// a file that was empty before looks just the same.
Result EmptyDiskFile(const std::string& what, const std::string& file, const std::string& local) {
    return Failure(kExitEmptyFile, what + ": " + file +
                                       " is empty: it may just have been created by opening it; nothing saved to " +
                                       local);
}

// A PC file to send, opened for reading piece by piece; a FIFO or a device
// is refused before it is opened, as opening it could block or raise a
// serial device's lines, and reading it might never end.
Result OpenPcFileToSend(const std::string& what, const std::string& path, PcFileSource* source) {
    Result r = PcPath(what, path);
    if (!r.ok()) return r;
    std::string reason;
    switch (source->Open(path, UINT32_MAX, &reason)) {
        case PcFileRead::kOk: return {};
        case PcFileRead::kNotRegular: return Failure(kExitLocalFile, what + ": " + path + ": not a regular file");
        case PcFileRead::kTooLarge: return Failure(kExitBadInput, what + ": the file is larger than 4 GiB");
        case PcFileRead::kNoMemory:
        case PcFileRead::kCannotOpen:
        case PcFileRead::kReadFailed: break;
    }
    return Failure(kExitLocalFile, what + ": " + path + ": " + reason);
}

WriteSource FileSource(PcFileSource* source) {
    return [source](uint8_t* out, size_t size, std::string* error) { return source->Read(out, size, error); };
}

// put's and get's options, before the names; "--" ends them.
struct TransferOptions {
    bool verify = false;  // read back (put) or read twice (get) and compare
    bool resume = false;  // go on from what an earlier, stopped transfer left
};

Result TakeTransferOptions(const std::string& what, std::vector<std::string>* args, TransferOptions* options) {
    size_t i = 0;
    for (; i < args->size(); ++i) {
        const std::string& a = (*args)[i];
        if (a == "--verify") {
            options->verify = true;
        } else if (a == "--resume") {
            options->resume = true;
        } else if (a == "--") {
            ++i;
            break;
        } else if (a.rfind("--", 0) == 0) {
            return Failure(kExitBadInput, what + ": unknown option " + a + " (--verify, --resume)");
        } else {
            break;
        }
    }
    args->erase(args->begin(), args->begin() + static_cast<long>(i));
    return {};
}

// The bar's label for one of a transfer's phases: "put A.BIN (2/2 verify)".
std::string PhaseLabel(const std::string& label, int phase, int phases, const char* name) {
    if (phases == 1) return label;
    return label + " (" + std::to_string(phase) + "/" + std::to_string(phases) + " " + name + ")";
}

// A chunk's fingerprint, FNV-1a in 64 bits: every step is a bijection of
// the state, so one changed byte always changes it; other damage goes
// unseen with odds of about 2^-64.
uint64_t ChunkDigest(const uint8_t* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

// Moves the file pointer `offset` bytes (at most 4 GiB - 1) from the start.
// A seek carries a signed 32-bit offset: past 2 GiB it takes further steps
// from where the last one went.
Result SeekFromStart(Session& s, uint64_t offset, const std::string& what) {
    uint8_t origin = 0;
    do {
        const uint64_t step = std::min<uint64_t>(offset, INT32_MAX);
        ArmExchange();
        if (DiskSeek(s.file, static_cast<int32_t>(step), origin) != 0) return ExchangeFailure(what);
        offset -= step;
        origin = 1;
    } while (offset != 0);
    return {};
}

// Compares bytes read back with the bytes they should be.
// Returns the offset of the first that differs, kNoDifference, or
// kCheckFailed with *error when the bytes to compare with cannot be had.
constexpr uint64_t kNoDifference = UINT64_MAX;
constexpr uint64_t kCheckFailed = UINT64_MAX - 1;
using ReadBackCheck = std::function<uint64_t(uint64_t offset, const uint8_t* data, size_t size, std::string* error)>;

// The index of the first of `size` bytes read back that differs from the
// `have` bytes to compare with (missing ones differ), or size.
size_t FirstDifference(const uint8_t* back, size_t size, const uint8_t* expected, long long have) {
    for (size_t i = 0; i < size; ++i)
        if (static_cast<long long>(i) >= have || back[i] != expected[i]) return i;
    return size;
}

// A check against bytes read from the PC (or the first pass's file) at the
// same offset: `read` fills them, a count or -1 with *error.
ReadBackCheck CheckAgainst(std::function<long long(uint64_t offset, uint8_t* to, size_t size, std::string* error)> read) {
    return [read](uint64_t offset, const uint8_t* data, size_t size, std::string* error) -> uint64_t {
        uint8_t expected[DISK_CHUNK_SIZE];
        const long long have = read(offset, expected, std::min<size_t>(size, sizeof expected), error);
        if (have < 0) return kCheckFailed;
        const size_t i = FirstDifference(data, size, expected, have);
        return i == size ? kNoDifference : offset + i;
    };
}

// Compares bytes read back with the PC file as put sent it from `base` to
// `end`: each chunk sent left its digest, so the PC file is not read again,
// but for the one chunk that differs (or a piece of one where the disk file
// ends early), read once more to name the byte.
uint64_t CompareWithSent(PcFileSource& source, const std::vector<uint64_t>& digests, uint64_t base, uint64_t end,
                         uint64_t offset, const uint8_t* data, size_t size, std::string* error) {
    uint64_t at = offset;
    while (at < offset + size) {
        if (at >= end) return at;  // the disk file goes on past what was sent
        const uint64_t chunk = (at - base) / DISK_CHUNK_SIZE;
        const uint64_t chunkStart = base + chunk * DISK_CHUNK_SIZE;
        const uint64_t chunkEnd = std::min<uint64_t>(chunkStart + DISK_CHUNK_SIZE, end);
        const uint64_t pieceEnd = std::min<uint64_t>(offset + size, chunkEnd);
        const uint8_t* piece = data + (at - offset);
        const size_t n = static_cast<size_t>(pieceEnd - at);
        const bool whole = at == chunkStart && pieceEnd == chunkEnd;
        if (!whole || chunk >= digests.size() || ChunkDigest(piece, n) != digests[chunk]) {
            uint8_t sent[DISK_CHUNK_SIZE];
            const long long have = source.ReadAt(at, sent, n, error);
            if (have < 0) return kCheckFailed;
            const size_t i = FirstDifference(piece, n, sent, have);
            if (i != n) return at + i;
            if (whole) {
                // The disk holds what the PC file holds now, not what was sent.
                *error = "changed while it was sent (bytes " + std::to_string(chunkStart) + " to " +
                         std::to_string(chunkEnd - 1) + ")";
                return kCheckFailed;
            }
        }
        at = pieceEnd;
    }
    return kNoDifference;
}

// Reads the open file again from `from`, comparing it with `check` as it
// comes; the first difference ends it with exit 11, naming its offset and
// `differs`. exact: `end` bytes are due, as for a read (a file that ends
// early fails, exit 7); otherwise the file must end at `end`, and one that
// ends earlier or goes on differs there. `kept` says what the disk or the
// PC holds when the pass stops short; a failed check is exit 6.
Result VerifyPass(Session& s, uint64_t from, uint64_t end, bool exact, const ReadBackCheck& check,
                  const std::string& label, const CtrlCStop& stop, const std::string& kept, const std::string& differs) {
    const std::string what = CommandOf(label);
    Result r = SeekFromStart(s, from, what + ": seek to byte " + std::to_string(from) + " to compare");
    if (!r.ok()) return r;
    uint64_t next = from, differsAt = kNoDifference;
    const ReadSink sink = [&](const uint8_t* data, size_t size, std::string* error) {
        const uint64_t at = check(next, data, size, error);
        next += size;
        if (at == kNoDifference) return true;
        if (at != kCheckFailed) differsAt = at;
        return false;
    };
    uint64_t got = 0;
    r = ReadChunks(s, exact ? end : end + 1, exact, end, from, sink, label, stop, kept, &got);
    if (r.ok() && got < end) differsAt = got;
    if (differsAt != kNoDifference) {
        return Failure(kExitVerifyMismatch, what + ": verify mismatch at byte " + std::to_string(differsAt) + " (of " +
                                                std::to_string(end) + "): " + differs);
    }
    return r;
}

Result Put(Session& s, std::vector<std::string> args) {
    TransferOptions options;
    Result r = TakeTransferOptions("put", &args, &options);
    if (!r.ok()) return r;
    r = RequireArgs(args, 1, 2, "put [--verify] [--resume] LOCAL [REMOTE]");
    if (!r.ok()) return r;
    r = RequireNoOpenFile(s, "put");
    if (!r.ok()) return r;
    const std::string& local = args[0];
    const std::string remote = args.size() == 2 ? args[1] : LastPathPart(local);
    std::string name;
    r = ModuleName(remote, &name);
    if (!r.ok()) return r;
    PcFileSource source;
    r = OpenPcFileToSend("put", local, &source);
    if (!r.ok()) return r;

    // Opening keeps an existing file's bytes beyond what is written: start
    // from nothing so the disk file ends up equal to the PC file, unless
    // those bytes are the start being resumed.
    const uint8_t deleted = options.resume ? 0 : DiskDeleteFile(name.c_str());
    r = OpenFile(s, remote);
    if (!r.ok()) return r;
    if (!options.resume && s.file->size != 0) {
        // The delete did not take (a file that is not there refuses it too,
        // but then opens empty): writing would keep the old tail.
        const uint32_t old = s.file->size;
        (void)CloseFile(s);
        return Failure(deleted == 0xFF ? kExitNoAnswer : kExitRefused,
                       "put: " + remote + " could not be deleted first (it holds " + std::to_string(old) +
                           " bytes): nothing written");
    }
    const uint64_t size = source.SizeAtOpen();
    const uint64_t held = options.resume ? s.file->size : 0;
    if (held > size) {
        (void)CloseFile(s);
        return Failure(kExitBadInput, "put: " + remote + " holds " + std::to_string(held) + " bytes, more than " +
                                          local + "'s " + std::to_string(size) + ": not resumed; nothing written");
    }
    const bool checkHeld = options.verify && held > 0;
    const int phases = 1 + (options.verify ? 1 : 0) + (checkHeld ? 1 : 0);
    const std::string label = "put " + remote;
    std::vector<uint64_t> digests;  // one a chunk sent, for --verify: O(size / 512) memory
    const WriteSource fromPc = [&](uint8_t* out, size_t n, std::string* error) {
        const long long got = source.Read(out, n, error);
        if (got > 0 && options.verify) digests.push_back(ChunkDigest(out, static_cast<size_t>(got)));
        return got;
    };
    Result done, closed;
    uint64_t count = 0;
    {
        // The close too: a second Ctrl+C must not leave the file open.
        CtrlCStop stop;
        std::string error;
        if (checkHeld) {
            // The bytes held must be LOCAL's first ones: compared as the PC
            // file is read up to there.
            const ReadBackCheck sameStart = CheckAgainst([&](uint64_t, uint8_t* to, size_t n, std::string* e) {
                const long long got = source.Read(to, n, e);
                if (got < 0) *e = local + ": " + *e;
                return got;
            });
            done = VerifyPass(s, 0, held, true, sameStart, PhaseLabel(label, 1, phases, "check"), stop,
                              "nothing written", remote + " does not start as " + local + ": not resumed; nothing written");
        } else if (held > 0 && !source.SeekTo(held, &error)) {
            done = Failure(kExitLocalFile, "put: " + local + ": " + error + "; nothing written");
        } else if (held > 0) {
            done = SeekFromStart(s, held, "put: seek to byte " + std::to_string(held) + " to resume");
        }
        if (done.ok()) {
            done = WriteChunks(s, fromPc, size, held, PhaseLabel(label, phases - (options.verify ? 1 : 0), phases, "write"),
                               stop, remote, &count);
        }
        if (done.ok() && options.verify) {
            const ReadBackCheck sameAsSent = [&](uint64_t offset, const uint8_t* data, size_t n, std::string* e) {
                const uint64_t at = CompareWithSent(source, digests, held, count, offset, data, n, e);
                if (at == kCheckFailed) *e = local + ": " + *e;
                return at;
            };
            done = VerifyPass(s, held, count, false, sameAsSent, PhaseLabel(label, phases, phases, "verify"), stop,
                              remote + " holds all " + std::to_string(count) + " bytes, not verified",
                              remote + " on the disk differs from " + local);
        }
        closed = CloseFile(s);
    }
    if (!done.ok()) return done;
    if (!closed.ok()) return closed;
    *s.out << "put: " << count - held << " bytes to " << remote;
    if (held > 0) *s.out << " after the " << held << " it held";
    *s.out << (options.verify ? ", verified\n" : "\n");
    return {};
}

// Begins the PC file a read is saved to; nothing is read if it cannot be made.
Result BeginSave(const std::string& what, const std::string& local, PcFileWriter* writer) {
    Result r = PcPath(what, local);
    if (!r.ok()) return r;
    std::string error;
    if (!writer->Begin(local, &error)) return Failure(kExitLocalFile, what + ": " + error + "; nothing read");
    return {};
}

ReadSink WriterSink(PcFileWriter* writer) {
    return [writer](const uint8_t* data, size_t size, std::string* error) { return writer->Write(data, size, error); };
}

// `note` follows the count: ", verified".
Result CommitSave(Session& s, PcFileWriter* writer, const std::string& local, const std::string& what,
                  const char* note = "") {
    std::string error;
    if (!writer->Commit(&error)) return Failure(kExitLocalFile, what + ": " + error);
    *s.out << what << ": " << writer->Written() << " bytes to " << local << note << '\n';
    return {};
}

Result Get(Session& s, std::vector<std::string> args) {
    TransferOptions options;
    Result r = TakeTransferOptions("get", &args, &options);
    if (!r.ok()) return r;
    r = RequireArgs(args, 1, 2, "get [--verify] [--resume] REMOTE [LOCAL]");
    if (!r.ok()) return r;
    const std::string& remote = args[0];
    const std::string local = args.size() == 2 ? args[1] : LastPathPart(remote);
    if (local.empty()) return Failure(kExitBadInput, "get: name a PC file to save to");
    r = PcPath("get", local);
    if (!r.ok()) return r;
    r = OpenFile(s, remote);
    if (!r.ok()) return r;
    // A claim from the line: read against it chunk by chunk, never allocated.
    const uint32_t size = s.file->size;
    if (size == 0) {
        (void)CloseFile(s);
        return EmptyDiskFile("get", remote, local);
    }
    PcFileWriter writer;
    std::string error;
    if (options.resume ? !writer.Resume(local, &error) : !writer.Begin(local, &error)) {
        (void)CloseFile(s);
        return Failure(kExitLocalFile, "get: " + error + "; nothing read");
    }
    const uint64_t held = writer.Written();
    if (held > size) {
        (void)CloseFile(s);
        return Failure(kExitBadInput, "get: " + writer.FilePath() + " holds " + std::to_string(held) +
                                          " bytes, more than " + remote + "'s " + std::to_string(size) +
                                          ": not resumed (remove it to start again)");
    }
    const std::string untouched =
        (options.resume ? "kept in " + writer.FilePath() + " for get --resume; " : std::string()) +
        "nothing saved to " + local;
    const int phases = options.verify ? 2 : 1;
    Result read, closed;
    uint64_t got = 0;
    {
        CtrlCStop stop;
        if (held > 0) read = SeekFromStart(s, held, "get: seek to byte " + std::to_string(held) + " to resume");
        if (read.ok()) {
            read = ReadChunks(s, size, true, size, held, WriterSink(&writer), PhaseLabel("get " + remote, 1, phases, "read"),
                              stop, untouched, &got);
        }
        if (read.ok() && options.verify) {
            // The first pass is in the PC file being written: the second is
            // compared with it as it comes.
            const ReadBackCheck sameAsFirst = CheckAgainst(
                [&](uint64_t offset, uint8_t* to, size_t n, std::string* e) { return writer.ReadBack(offset, to, n, e); });
            read = VerifyPass(s, 0, size, true, sameAsFirst, PhaseLabel("get " + remote, 2, phases, "verify"), stop,
                              untouched, "two reads of " + remote + " differ; nothing saved to " + local);
        }
        closed = CloseFile(s);
    }
    // Bytes that read differently once cannot be trusted, kept ones neither.
    if (read.code == kExitVerifyMismatch) writer.Discard();
    if (!read.ok()) return read;
    r = CommitSave(s, &writer, local, "get", options.verify ? ", verified" : "");
    if (!r.ok()) return r;
    return closed;
}

// Text with \n, \r, \t, \\ and \xHH escapes, as typed in the shell.
bool Unescape(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case '\\': *out += '\\'; break;
            case 'x': {
                if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                    return false;
                *out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

Result Write(Session& s, const std::vector<std::string>& args) {
    std::string joined;
    for (size_t i = 0; i < args.size(); ++i) joined += (i ? " " : "") + args[i];
    std::string text, bytes;
    if (!Unescape(joined, &text)) return Failure(kExitBadInput, "write: a \\ escape is not \\n \\r \\t \\\\ or \\xHH");
    if (!Utf8ToCp936(text, &bytes)) return Failure(kExitBadInput, "write: the text has characters code page 936 cannot hold");
    const std::vector<uint8_t> data(bytes.begin(), bytes.end());
    CtrlCStop stop;
    uint64_t written = 0;
    return WriteChunks(s, BytesSource(data), data.size(), 0, "write", stop, "", &written);
}

Result WriteFromPc(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 1, "writefile LOCAL");
    if (!r.ok()) return r;
    if (s.file == nullptr) return Failure(kExitBadInput, "writefile: no file is open");
    PcFileSource source;
    r = OpenPcFileToSend("writefile", args[0], &source);
    if (!r.ok()) return r;
    CtrlCStop stop;
    uint64_t written = 0;
    r = WriteChunks(s, FileSource(&source), source.SizeAtOpen(), 0, "writefile " + args[0], stop, "", &written);
    if (r.ok()) *s.out << "writefile: " << written << " bytes written\n";
    return r;
}

Result Read(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 1, "read COUNT");
    if (!r.ok()) return r;
    long count = 0;
    if (!ParseInt(args[0], 0, 16L * 1024 * 1024, &count)) return Failure(kExitBadInput, "read: COUNT is 0 to 16777216");
    std::vector<uint8_t> data;
    uint64_t got = 0;
    {
        CtrlCStop stop;
        const ReadSink sink = [&data](const uint8_t* bytes, size_t size, std::string*) {
            data.insert(data.end(), bytes, bytes + size);
            return true;
        };
        r = ReadChunks(s, static_cast<uint64_t>(count), false, static_cast<uint64_t>(count), 0, sink, "read", stop,
                       "nothing shown", &got);
    }
    if (!r.ok()) return r;
    std::string text;
    if (Cp936ToUtf8(std::string(data.begin(), data.end()), &text)) {
        *s.out << text;
        if (!text.empty() && text.back() != '\n') *s.out << '\n';
    } else {
        // Not text in the module's code page: show it as bytes.
        static const char kHex[] = "0123456789ABCDEF";
        for (size_t i = 0; i < data.size(); ++i)
            *s.out << kHex[data[i] >> 4] << kHex[data[i] & 0xF] << ((i % 16 == 15 || i + 1 == data.size()) ? '\n' : ' ');
    }
    return {};
}

// From the file pointer to the end of the file; a file's size is at most
// 4 GiB - 1, which bounds the loop against a module that never ends it.
Result ReadToPc(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 1, "readfile LOCAL");
    if (!r.ok()) return r;
    if (s.file == nullptr) return Failure(kExitBadInput, "readfile: no file is open");
    if (s.file->size == 0) return EmptyDiskFile("readfile", "the open file", args[0]);
    PcFileWriter writer;
    r = BeginSave("readfile", args[0], &writer);
    if (!r.ok()) return r;
    uint64_t got = 0;
    {
        CtrlCStop stop;
        r = ReadChunks(s, UINT32_MAX, false, s.file->size, 0, WriterSink(&writer), "readfile", stop,
                       "nothing saved to " + args[0], &got);
    }
    if (!r.ok()) return r;
    return CommitSave(s, &writer, args[0], "readfile");
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
    // The name goes out as a C string: a NUL would cut it short there, and
    // the module would act on another name (KEEP.TXT of "KEEP.TXT\0.bak").
    const size_t nul = utf8.find('\0');
    if (nul != std::string::npos)
        return Failure(kExitBadInput, "\"" + utf8.substr(0, nul) + "\\0" + "...\": a name with a NUL byte is refused");
    if (!Utf8ToCp936(utf8, name)) return Failure(kExitBadInput, "\"" + utf8 + "\": not a name code page 936 can hold");
    // Only a name that reads back as typed is sent.
    std::string back;
    if (name->find('\0') != std::string::npos || !Cp936ToUtf8(*name, &back) || back != utf8)
        return Failure(kExitBadInput, "\"" + utf8 + "\": would not reach the module as typed");
    if (name->size() > 255) return Failure(kExitBadInput, "\"" + utf8 + "\": longer than 255 bytes");
    return {};
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
    if (command == "cd") return (r = one("cd NAME")).ok() ? NameCommand("cd", args[0], DiskSetCurrentDir) : r;
    if (command == "rmdir") return (r = one("rmdir NAME")).ok() ? NameCommand("rmdir", args[0], DiskRemoveDir) : r;
    // The rest keep a file open between commands: the shell's.
    if (command == "open") return (r = one("open NAME")).ok() ? OpenFile(s, args[0]) : r;
    if (command == "write") return Write(s, args);
    if (command == "writefile") return WriteFromPc(s, args);
    if (command == "read") return Read(s, args);
    if (command == "readfile") return ReadToPc(s, args);
    if (command == "seek") return Seek(s, args);
    return Failure(kExitBadInput, "unknown command \"" + command + "\" (try --help)");
}
