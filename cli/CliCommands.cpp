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
    "  put LOCAL [REMOTE]        copy a PC file onto the disk, replacing REMOTE\n"
    "  get REMOTE [LOCAL]        copy a disk file to the PC (LOCAL: REMOTE's last part here);\n"
    "                            an empty REMOTE saves nothing: opening may just have created it\n"
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
    "\n"
    "Ctrl+C during put, get or a shell transfer stops it after the chunk on the line:\n"
    "put and get close the disk file, which holds what was written; no PC file is left half-made.\n"
    "\n"
    "Exit status: 0 done, 2 bad input, 3 no answer, 4 refused by the module,\n"
    "5 port not opened, 6 PC file error, 7 transfer incomplete or interrupted,\n"
    "8 the disk file is empty: it may just have been created by opening it,\n"
    "9 port lost: it went away (adapter pulled, line hung up) while in use,\n"
    "10 standard output closed (a pipe whose reader went away).\n"
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
// far it came and what that spared (`untouched`). *got: bytes delivered.
Result ReadChunks(Session& s, uint64_t limit, bool exact, uint64_t estimate, const ReadSink& sink,
                  const std::string& label, const CtrlCStop& stop, const std::string& untouched, uint64_t* got) {
    const std::string what = CommandOf(label);
    *got = 0;
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
// the module acknowledged, chunk by chunk. `holder` names what keeps the
// bytes of a write cut short (empty: the open file, at its pointer).
// `estimate`: the size expected, for the bar and messages (0: unknown).
Result WriteChunks(Session& s, const WriteSource& source, uint64_t estimate, const std::string& label,
                   const CtrlCStop& stop, const std::string& holder, uint64_t* written) {
    const std::string what = CommandOf(label);
    *written = 0;
    if (s.file == nullptr) return Failure(kExitBadInput, what + ": no file is open");
    ProgressBar bar(s.err, label, s.progress);
    uint64_t offered = 0;  // bytes taken from the source
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

Result Put(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 2, "put LOCAL [REMOTE]");
    if (!r.ok()) return r;
    r = RequireNoOpenFile(s, "put");
    if (!r.ok()) return r;
    const std::string remote = args.size() == 2 ? args[1] : LastPathPart(args[0]);
    std::string name;
    r = ModuleName(remote, &name);
    if (!r.ok()) return r;
    PcFileSource source;
    r = OpenPcFileToSend("put", args[0], &source);
    if (!r.ok()) return r;

    // Opening keeps an existing file's bytes beyond what is written: start
    // from nothing so the disk file ends up equal to the PC file.
    (void)DiskDeleteFile(name.c_str());
    r = OpenFile(s, remote);
    if (!r.ok()) return r;
    Result written, closed;
    uint64_t count = 0;
    {
        // The close too: a second Ctrl+C must not leave the file open.
        CtrlCStop stop;
        written = WriteChunks(s, FileSource(&source), source.SizeAtOpen(), "put " + remote, stop, remote, &count);
        closed = CloseFile(s);
    }
    if (!written.ok()) return written;
    if (!closed.ok()) return closed;
    *s.out << "put: " << count << " bytes to " << remote << '\n';
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

Result CommitSave(Session& s, PcFileWriter* writer, const std::string& local, const std::string& what) {
    std::string error;
    if (!writer->Commit(&error)) return Failure(kExitLocalFile, what + ": " + error);
    *s.out << what << ": " << writer->Written() << " bytes to " << local << '\n';
    return {};
}

Result Get(Session& s, const std::vector<std::string>& args) {
    Result r = RequireArgs(args, 1, 2, "get REMOTE [LOCAL]");
    if (!r.ok()) return r;
    const std::string local = args.size() == 2 ? args[1] : LastPathPart(args[0]);
    if (local.empty()) return Failure(kExitBadInput, "get: name a PC file to save to");
    r = PcPath("get", local);
    if (!r.ok()) return r;
    r = OpenFile(s, args[0]);
    if (!r.ok()) return r;
    // A claim from the line: read against it chunk by chunk, never allocated.
    const uint32_t size = s.file->size;
    if (size == 0) {
        (void)CloseFile(s);
        return EmptyDiskFile("get", args[0], local);
    }
    PcFileWriter writer;
    r = BeginSave("get", local, &writer);
    if (!r.ok()) {
        (void)CloseFile(s);
        return r;
    }
    Result read, closed;
    uint64_t got = 0;
    {
        CtrlCStop stop;
        read = ReadChunks(s, size, true, size, WriterSink(&writer), "get " + args[0], stop,
                          "nothing saved to " + local, &got);
        closed = CloseFile(s);
    }
    if (!read.ok()) return read;
    r = CommitSave(s, &writer, local, "get");
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
    return WriteChunks(s, BytesSource(data), data.size(), "write", stop, "", &written);
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
    r = WriteChunks(s, FileSource(&source), source.SizeAtOpen(), "writefile " + args[0], stop, "", &written);
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
        r = ReadChunks(s, static_cast<uint64_t>(count), false, static_cast<uint64_t>(count), sink, "read", stop,
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
        r = ReadChunks(s, UINT32_MAX, false, s.file->size, WriterSink(&writer), "readfile", stop,
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
