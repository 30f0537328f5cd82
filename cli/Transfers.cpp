// The transfer commands: put and get, and the shell's data commands on its
// open file.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <ostream>

#include "CliParts.h"
#include "CtrlCStop.h"
#include "FastRate.h"
#include "TransferOptions.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "protocol/Exchange.h"
#include "serial/SerialChannel.h"
#include "text/Cp936.h"

namespace cli {

namespace {

// What put and get hold from before the open to after the close: a signal
// stops the transfer between chunks, and the disk file is closed before
// the client ends on it (the close too: a second Ctrl+C must not leave the
// file open), and --fast's rate put back; --wait's wait for every
// exchange; the --retries count.
struct TransferScope {
    TransferScope(Session& s, const std::string& what, const TransferOptions& options)
        : wait(options.waitMs != 0, options.waitMs), fast(s, what), retrying(s, options), fastRate(options.fastRate) {}
    // --fast's move, when asked for.
    Result MoveToFastRate() { return fastRate != 0 ? fast.Begin(fastRate) : Result{}; }

    CtrlCStop stop;
    const AnswerWaitFor wait;
    FastRate fast;
    const RetriesFor retrying;
    const int fastRate;
};

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

// Why a close failed, from its message: "no answer from the module".
std::string CloseFailure(const Result& closed) {
    const std::string prefix = "close: ";
    return closed.message.rfind(prefix, 0) == 0 ? closed.message.substr(prefix.size()) : closed.message;
}

// The bar's label for one of a transfer's phases: "put A.BIN (2/2 verify)".
std::string PhaseLabel(const std::string& label, int phase, int phases, const char* name) {
    if (phases == 1) return label;
    return label + " (" + std::to_string(phase) + "/" + std::to_string(phases) + " " + name + ")";
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
                  const std::string& note = "") {
    std::string error;
    if (!writer->Commit(&error)) return Failure(kExitLocalFile, what + ": " + error);
    *s.out << what << ": " << writer->Written() << " bytes to " << local << note << '\n';
    return {};
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

// What a partial file of get --resume holds the start of: the disk file's
// name as the module resolves it, from the root, and its size at the open;
// empty when the name cannot be told (the partial file is then never
// continued). The size first, so that any name ends the text.
std::string ResumeSource(const Session& s, const std::string& remote, uint32_t size) {
    std::vector<std::string> path;
    if (!ResolveOnModule(s, remote, &path)) return "";
    std::string name;
    for (const std::string& part : path) name += "/" + part;
    return "size " + std::to_string(size) + "\nname " + name + "\n";
}

// get's passes over the open file into writer, after what it holds. Kept
// bytes are first compared with the disk file's: all of them with --verify,
// else the chunk before the join, where bytes of another file (one of the
// same name and size in another folder, as a cd by another client leaves
// the module, or rewritten since) show; a difference starts over, said on
// stderr. Then the file is read to its end, which must be at `size` or past
// it (a warning names both), and with --verify read again and compared
// from where this read began.
Result ReadToEnd(Session& s, const std::string& remote, const std::string& local, uint32_t size, bool verify,
                 PcFileWriter* writer, const CtrlCStop& stop, const std::string& untouched) {
    uint64_t held = writer->Written();
    const int phases = 1 + (verify ? 1 : 0) + (held > 0 ? 1 : 0);
    const std::string label = "get " + remote;
    const ReadBackCheck sameAsKept = CheckAgainst(
        [writer](uint64_t offset, uint8_t* to, size_t n, std::string* e) { return writer->ReadBack(offset, to, n, e); });
    Result r;
    if (held > 0) {
        // Nothing is appended to bytes that are not the disk file's start;
        // the pass ends where the rest begins.
        const uint64_t from = verify ? 0 : held - std::min<uint64_t>(held, DISK_CHUNK_SIZE);
        r = VerifyPass(s, from, held, PassEnd::kStart, sameAsKept, PhaseLabel(label, 1, phases, "check"), stop, untouched,
                       writer->FilePath() + " does not hold the start of " + remote + ": starting over");
        if (r.code == kExitVerifyMismatch) {
            *s.err << r.message << '\n';
            std::string error;
            if (!writer->StartOver(&error)) return Failure(kExitLocalFile, "get: " + error + "; " + untouched);
            held = 0;
            r = SeekFromStart(s, 0, "get: seek to byte 0 to start over", untouched);
        }
    }
    uint64_t got = held;
    if (r.ok()) {
        r = ReadChunks(s, UINT32_MAX, false, size, held, WriterSink(writer),
                       PhaseLabel(label, phases - (verify ? 1 : 0), phases, "read"), stop, untouched, &got);
    }
    if (!r.ok()) return r;
    if (got < size) {
        return Failure(kExitIncomplete, "get: " + std::to_string(got) + " of " + std::to_string(size) +
                                            " bytes read: the file ended early; " + untouched);
    }
    if (got > size) {
        *s.err << "get: warning: " << remote << " holds " << got << " bytes, more than the " << size
               << " its open announced: read to its end\n";
    }
    if (!verify) return r;
    // A chunk the two reads disagree on is read a third time: if it agrees
    // with the second, the first was damaged and is mended in the PC file.
    const ChunkRepair readAgain = [&](uint64_t offset, const uint8_t* second, size_t n) -> Result {
        const std::string at = std::to_string(offset);
        Result again = SeekFromStart(s, offset, "get: seek to byte " + at + " to read it again", untouched);
        std::vector<uint8_t> third;
        const ReadSink keep = [&third](const uint8_t* data, size_t size, std::string*) {
            third.insert(third.end(), data, data + size);
            return true;
        };
        uint64_t read = 0;
        if (again.ok()) again = ReadChunks(s, offset + n, true, offset + n, offset, keep, label, stop, untouched, &read);
        if (!again.ok() || !std::equal(third.begin(), third.end(), second)) return again;
        std::string error;
        if (!writer->Rewrite(offset, third.data(), third.size(), &error))
            return Failure(kExitLocalFile, "get: " + error + "; " + untouched);
        return {};
    };
    // The first pass is in the PC file being written: the second is
    // compared with it as it comes.
    return VerifyPass(s, held, got, PassEnd::kDue, sameAsKept, PhaseLabel(label, phases, phases, "verify"), stop,
                      untouched, "two reads of " + remote + " differ; nothing saved to " + local, readAgain);
}

}  // namespace

Result Put(Session& s, std::vector<std::string> args) {
    TransferOptions options;
    Result r = TakeTransferOptions("put", &args, &options);
    if (!r.ok()) return r;
    r = RequireArgs(args, 1, 2, "put [--verify] [--resume] [--retries N] [--wait MS] [--fast [RATE]] LOCAL [REMOTE]");
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

    TransferScope scope(s, "put", options);
    r = scope.MoveToFastRate();
    if (!r.ok()) return r;
    // Opening keeps an existing file's bytes beyond what is written: start
    // from nothing so the disk file ends up equal to the PC file, unless
    // those bytes are the start being resumed. Deleting twice does no harm.
    uint8_t deleted = 0;
    for (int inARow = 0; !options.resume;) {
        deleted = DiskDeleteFile(name.c_str());
        if (deleted != 0xFF || theSerialChannel.PortLost() || !TakeRetry(s.retries, &inARow)) break;
    }
    r = OpenFile(s, remote, "put");
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
    Result done;
    uint64_t count = 0;
    std::string error;
    std::optional<AnswerWaitFor> fitted;
    fitted.emplace(FitsWaitToLine(options), 0);
    if (checkHeld) {
        // The bytes held must be LOCAL's first ones: compared as the PC
        // file is read up to there.
        const ReadBackCheck sameStart = CheckAgainst([&](uint64_t, uint8_t* to, size_t n, std::string* e) {
            const long long got = source.Read(to, n, e);
            if (got < 0) *e = local + ": " + *e;
            return got;
        });
        done = VerifyPass(s, 0, held, PassEnd::kDue, sameStart, PhaseLabel(label, 1, phases, "check"), scope.stop,
                          "nothing written", remote + " does not start as " + local + ": not resumed; nothing written");
    } else if (held > 0 && !source.SeekTo(held, &error)) {
        done = Failure(kExitLocalFile, "put: " + local + ": " + error + "; nothing written");
    } else if (held > 0) {
        done = SeekFromStart(s, held, "put: seek to byte " + std::to_string(held) + " to resume", "nothing written");
    }
    if (done.ok()) {
        done = WriteChunks(s, fromPc, size, held, PhaseLabel(label, phases - (options.verify ? 1 : 0), phases, "write"),
                           scope.stop, remote, &count);
    }
    if (done.ok() && options.verify) {
        const ReadBackCheck sameAsSent = [&](uint64_t offset, const uint8_t* data, size_t n, std::string* e) {
            const uint64_t at = CompareWithSent(source, digests, held, count, offset, data, n, e);
            if (at == kCheckFailed) *e = local + ": " + *e;
            return at;
        };
        const std::string holds = remote + " holds all " + std::to_string(count) + " bytes, not verified";
        // A chunk that reads back different is written again from the PC file.
        const ChunkRepair writeAgain = [&](uint64_t offset, const uint8_t*, size_t n) -> Result {
            std::vector<uint8_t> again(n);
            std::string e;
            const long long have = source.ReadAt(offset, again.data(), n, &e);
            if (have != static_cast<long long>(n))
                return Failure(kExitLocalFile, "put: " + local + ": " + (have < 0 ? e : "changed while it was sent") +
                                                   "; " + holds);
            Result again_ = SeekFromStart(s, offset, "put: seek to byte " + std::to_string(offset) + " to write it again",
                                          holds);
            uint64_t written = 0;
            if (again_.ok()) again_ = WriteChunks(s, BytesSource(again), offset + n, offset, label, scope.stop, remote, &written);
            return again_;
        };
        done = VerifyPass(s, held, count, PassEnd::kEndsThere, sameAsSent, PhaseLabel(label, phases, phases, "verify"),
                          scope.stop, holds, remote + " on the disk differs from " + local, writeAgain);
    }
    fitted.reset();
    const Result closed = CloseFile(s);
    const int retried = scope.retrying.Used();
    if (!done.ok()) return done;
    if (!closed.ok()) {
        // Written whole, but a module may keep some of it until the close.
        return Failure(closed.code, "put: " + std::to_string(count) + " bytes written to " + remote +
                                        ", but its close failed: " + CloseFailure(closed) +
                                        "; the module may still have it open: close it with " + CloseAdvice(s));
    }
    *s.out << "put: " << count - held << " bytes to " << remote;
    if (held > 0) *s.out << " after the " << held << " it held";
    *s.out << (options.verify ? ", verified" : "") << RetriesNote(retried) << "\n";
    return scope.fast.End();
}

Result Get(Session& s, std::vector<std::string> args) {
    TransferOptions options;
    Result r = TakeTransferOptions("get", &args, &options);
    if (!r.ok()) return r;
    r = RequireArgs(args, 1, 2, "get [--verify] [--resume] [--retries N] [--wait MS] [--fast [RATE]] REMOTE [LOCAL]");
    if (!r.ok()) return r;
    const std::string& remote = args[0];
    std::string name;
    r = ModuleName(remote, &name);
    if (!r.ok()) return r;
    const std::string local = args.size() == 2 ? args[1] : LastPathPart(remote);
    if (local.empty()) return Failure(kExitBadInput, "get: name a PC file to save to");
    r = PcPath("get", local);
    if (!r.ok()) return r;
    TransferScope scope(s, "get", options);
    r = scope.MoveToFastRate();
    if (!r.ok()) return r;
    r = OpenFile(s, remote, "get");
    if (!r.ok()) return r;
    // A claim from the line: the file is read to its end whatever it says,
    // chunk by chunk, and nothing is set aside for it.
    const uint32_t size = s.file->size;
    if (size == 0) {
        (void)CloseFile(s);
        return EmptyDiskFile("get", remote, local);
    }
    PcFileWriter writer;
    std::string error;
    if (options.resume ? !writer.Resume(local, ResumeSource(s, remote, size), &error) : !writer.Begin(local, &error)) {
        (void)CloseFile(s);
        return Failure(kExitLocalFile, "get: " + error + "; nothing read");
    }
    if (writer.Dropped() > 0) {
        *s.err << "get: " << writer.FilePath() << " held " << writer.Dropped() << " bytes not known to be the start of "
               << remote << " as it is now (" << size << " bytes at the open): starting over\n";
    }
    const std::string untouched =
        (options.resume ? "kept in " + writer.FilePath() + " for get --resume; " : std::string()) +
        "nothing saved to " + local;
    Result read;
    {
        const AnswerWaitFor fitted(FitsWaitToLine(options), 0);
        read = ReadToEnd(s, remote, local, size, options.verify, &writer, scope.stop, untouched);
    }
    const Result closed = CloseFile(s);
    const int retried = scope.retrying.Used();
    const std::string closeFailure = closed.ok() ? "" : CloseFailure(closed);
    // Bytes that read differently once cannot be trusted, kept ones neither.
    if (read.code == kExitVerifyMismatch) writer.Discard();
    if (!read.ok()) return read;
    r = CommitSave(s, &writer, local, "get", std::string(options.verify ? ", verified" : "") + RetriesNote(retried));
    if (!r.ok()) return r;
    // The PC file is whole: a close that failed does not undo that.
    if (!closed.ok()) {
        *s.err << "get: warning: " << local << " is saved whole, but closing " << remote << " failed: " << closeFailure
               << "; the module may still have it open: close it with " << CloseAdvice(s) << '\n';
    }
    return scope.fast.End();
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

}  // namespace cli
