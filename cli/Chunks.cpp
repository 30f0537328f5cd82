// The chunk loops of transfers: reads and writes in 512-byte chunks with
// their progress, stops and messages, seeks, and the checks of --verify.
#include <algorithm>
#include <cstring>
#include <memory>

#include "CliParts.h"
#include "CtrlCStop.h"
#include "Terminal.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DiskCommands.h"
#include "protocol/DiskTransfer.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"

namespace cli {

namespace {

// The index of the first of `size` bytes read back that differs from the
// `have` bytes to compare with (missing ones differ), or size.
size_t FirstDifference(const uint8_t* back, size_t size, const uint8_t* expected, long long have) {
    for (size_t i = 0; i < size; ++i)
        if (static_cast<long long>(i) >= have || back[i] != expected[i]) return i;
    return size;
}

// Why a transfer's exchange failed, for messages.
std::string TransferFailureReason(const TransferResult& r) {
    switch (r.end) {
        case TransferEnd::kNoAnswer: return "no answer from the module";
        case TransferEnd::kCutShort: return "the module's answer was cut short";
        case TransferEnd::kRefused: return RefusalText(r.status);
        case TransferEnd::kPortLost: return "port lost";
        case TransferEnd::kEndedEarly: return "the file ended early";
        case TransferEnd::kShortInMiddle: return "the module answered short in the middle of the file";
        default: return "the module's answer was not understood";
    }
}

std::string SessionRetries(const Session& s) { return RetriesNote(s.retries != nullptr ? s.retries->used : 0); }

}  // namespace

std::string RetriesNote(int used) {
    if (used == 0) return "";
    return ", after " + std::to_string(used) + (used == 1 ? " retry" : " retries");
}

Result ReadChunks(Session& s, uint64_t limit, bool exact, uint64_t estimate, uint64_t from, const ReadSink& sink,
                  const std::string& label, const CtrlCStop& stop, const std::string& untouched, uint64_t* got) {
    (void)stop;  // it stops the engine through the progress hook
    const std::string what = CommandOf(label);
    *got = from;
    if (s.file == nullptr) return Failure(kExitBadInput, what + ": no file is open");
    ProgressBar bar(s.err, label, s.progress, s.retries);
    auto so_far = [&]() {
        return std::to_string(*got) + (exact ? " of " + std::to_string(limit) : std::string()) + " bytes read";
    };
    auto interrupted = [&]() {
        return Failure(kExitIncomplete, what + ": interrupted: " + std::to_string(*got) + " of " +
                                            std::to_string(exact ? limit : std::max(estimate, *got)) + " bytes read; " +
                                            untouched);
    };
    // A stop asked for before the first chunk (a signal during the open).
    if (CtrlCStop::Requested() && *got < limit) return interrupted();
    std::string error;
    const TransferResult r = ReadFromDisk(
        s.file, from, limit, exact, estimate, [&](const uint8_t* data, size_t n) { return sink(data, n, &error); },
        s.retries);
    *got = from + r.moved;
    switch (r.end) {
        case TransferEnd::kDone: return {};
        case TransferEnd::kStopped: return interrupted();
        case TransferEnd::kSinkFailed:
            return Failure(kExitLocalFile, what + ": " + error + " (" + std::to_string(*got) + " bytes read); " + untouched);
        case TransferEnd::kPortLost: return PortLostFailure(what, so_far() + "; " + untouched);
        default:
            return Failure(kExitIncomplete,
                           what + ": " + so_far() + ": " + TransferFailureReason(r) + SessionRetries(s) + "; " + untouched);
    }
}

Result WriteChunks(Session& s, const WriteSource& source, uint64_t estimate, uint64_t from, const std::string& label,
                   const CtrlCStop& stop, const std::string& holder, uint64_t* written) {
    (void)stop;  // it stops the engine through the progress hook
    const std::string what = CommandOf(label);
    *written = from;
    if (s.file == nullptr) return Failure(kExitBadInput, what + ": no file is open");
    ProgressBar bar(s.err, label, s.progress, s.retries);
    uint64_t offered = from;  // bytes taken from the source, and those before
    auto moved = [&]() {
        return std::to_string(*written) + " of " + std::to_string(std::max(estimate, offered)) + " bytes written";
    };
    auto kept = [&]() {
        return holder.empty() ? std::string(" at the file pointer")
                              : "; " + holder + " holds the first " + std::to_string(*written);
    };
    std::string error;
    bool first = true;
    const TransferResult r = WriteToDisk(
        s.file, from, estimate,
        [&](uint8_t* data, size_t n) {
            const long long got = source(data, n, &error);
            if (got > 0) offered += static_cast<uint64_t>(got);
            // A stop asked for before the first chunk (a signal during the open).
            if (got > 0 && first && CtrlCStop::Requested()) {
                error.clear();
                return -1LL;
            }
            first = false;
            return got;
        },
        s.retries);
    *written = from + r.moved;
    switch (r.end) {
        case TransferEnd::kDone: return {};
        case TransferEnd::kStopped: return Failure(kExitIncomplete, what + ": interrupted: " + moved() + kept());
        case TransferEnd::kSourceFailed:
            if (error.empty()) return Failure(kExitIncomplete, what + ": interrupted: " + moved() + kept());
            return Failure(kExitLocalFile, what + ": " + error + "; " + moved() + kept());
        case TransferEnd::kTooLarge:
            // The module keeps sizes in 32 bits.
            return Failure(kExitIncomplete, what + ": the file is larger than 4 GiB; " + moved() + kept());
        case TransferEnd::kPortLost: return PortLostFailure(what, moved());
        case TransferEnd::kShortWrite:
            return Failure(kExitIncomplete, what + ": " + moved() + ": the module took " + std::to_string(r.chunkTaken) +
                                                " of a chunk's " + std::to_string(r.chunkSent) + " bytes" +
                                                SessionRetries(s) + kept());
        default:
            // Nothing taken at all: the module's answer is the command's.
            if (r.moved == 0 && from == 0 && SessionRetries(s).empty()) return ExchangeFailure(what);
            return Failure(kExitIncomplete, what + ": " + moved() + ": " + TransferFailureReason(r) + SessionRetries(s) + kept());
    }
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

uint64_t ChunkDigest(const uint8_t* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

Result SeekFromStart(Session& s, uint64_t offset, const std::string& what, const std::string& kept) {
    for (int inARow = 0;;) {
        if (::SeekFromStart(s.file, offset)) return {};
        if (theSerialChannel.PortLost()) return PortLostFailure(what, kept);
        if (!TakeRetry(s.retries, &inARow)) break;
    }
    // Inside a transfer: what it moved stands, the rest did not come.
    return Failure(kExitIncomplete, what + ": " + ExchangeFailureReason() + SessionRetries(s) + "; " + kept);
}

ReadBackCheck CheckAgainst(std::function<long long(uint64_t offset, uint8_t* to, size_t size, std::string* error)> read) {
    return [read](uint64_t offset, const uint8_t* data, size_t size, std::string* error) -> uint64_t {
        uint8_t expected[DISK_CHUNK_SIZE];
        const long long have = read(offset, expected, std::min<size_t>(size, sizeof expected), error);
        if (have < 0) return kCheckFailed;
        const size_t i = FirstDifference(data, size, expected, have);
        return i == size ? kNoDifference : offset + i;
    };
}

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

Result VerifyPass(Session& s, uint64_t from, uint64_t end, PassEnd until, const ReadBackCheck& check,
                  const std::string& label, const CtrlCStop& stop, const std::string& kept, const std::string& differs,
                  const ChunkRepair& repair) {
    const std::string what = CommandOf(label);
    const bool exact = until == PassEnd::kDue;
    uint64_t start = from, lastRepaired = 0;
    int inARow = 0;
    for (;;) {
        Result r = SeekFromStart(s, start, what + ": seek to byte " + std::to_string(start) + " to compare", kept);
        if (!r.ok()) return r;
        uint64_t next = start, differsAt = kNoDifference, chunkAt = 0;
        std::vector<uint8_t> chunk;  // the one that differs, as read
        const ReadSink sink = [&](const uint8_t* data, size_t size, std::string* error) {
            const uint64_t at = check(next, data, size, error);
            if (at != kNoDifference && at != kCheckFailed) {
                differsAt = at;
                chunkAt = next;
                chunk.assign(data, data + size);
            }
            next += size;
            return at == kNoDifference;
        };
        uint64_t got = 0;
        r = ReadChunks(s, until == PassEnd::kEndsThere ? end + 1 : end, exact, end, start, sink, label, stop, kept, &got);
        if (r.ok() && got < end) differsAt = got;
        if (differsAt == kNoDifference) return r;
        // A chunk that differs may have been damaged on the line, either way:
        // mended and read again, within the same retries as an exchange.
        if (chunkAt != lastRepaired) inARow = 0;
        if (repair && !chunk.empty() && chunkAt + chunk.size() <= end && TakeRetry(s.retries, &inARow)) {
            lastRepaired = chunkAt;
            r = repair(chunkAt, chunk.data(), chunk.size());
            if (!r.ok()) return r;
            start = chunkAt;
            continue;
        }
        return Failure(kExitVerifyMismatch, what + ": verify mismatch at byte " + std::to_string(differsAt) + " (of " +
                                                std::to_string(end) + "): " + differs + SessionRetries(s));
    }
}

}  // namespace cli
