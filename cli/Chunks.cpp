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
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"

namespace cli {

namespace {

// An answered chunk with status 0: the count it carried is the truth.
bool ChunkAnswered() {
    return !theSerialChannel.PortLost() && theResponseReceiver.m_done == 0xFF && theResponseReceiver.m_status == 0;
}

// A progress total that never claims the end before it has come, so that
// Ctrl+C (which stops only short of the total) still works past an
// estimate that was too small.
uint32_t ShownTotal(uint64_t done, uint64_t estimate, bool ended) {
    const uint64_t total = ended ? done : std::max<uint64_t>(estimate, done + 1);
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

// The index of the first of `size` bytes read back that differs from the
// `have` bytes to compare with (missing ones differ), or size.
size_t FirstDifference(const uint8_t* back, size_t size, const uint8_t* expected, long long have) {
    for (size_t i = 0; i < size; ++i)
        if (static_cast<long long>(i) >= have || back[i] != expected[i]) return i;
    return size;
}

}  // namespace

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
    auto interrupted = [&]() {
        return Failure(kExitIncomplete, what + ": interrupted: " + std::to_string(*got) + " of " +
                                            std::to_string(exact ? limit : std::max(estimate, *got)) + " bytes read; " +
                                            untouched);
    };
    // A stop asked for before the first chunk (a signal during the open).
    if (CtrlCStop::Requested() && *got < limit) return interrupted();
    uint8_t chunk[DISK_CHUNK_SIZE];
    bool ended = false;
    while (*got < limit && !ended) {
        const uint16_t ask = static_cast<uint16_t>(std::min<uint64_t>(DISK_CHUNK_SIZE, limit - *got));
        ArmExchange();
        const uint16_t n = DiskReadChunk(chunk, ask, s.file);
        if (!ChunkAnswered() || n > ask) return failed(ExchangeFailureReason());
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
                if (!ChunkAnswered()) return failed(ExchangeFailureReason());
                if (more != 0) return failed("the module answered short in the middle of the file");
            }
            ended = true;
        }
        const bool done = ended || *got == limit;
        if (!ReportTransferProgress(static_cast<uint32_t>(std::min<uint64_t>(*got, UINT32_MAX)),
                                    exact ? static_cast<uint32_t>(limit) : ShownTotal(*got, estimate, done)) ||
            stop.Stopped()) {
            if (!done) return interrupted();
        }
    }
    return {};
}

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
    if (n > 0 && CtrlCStop::Requested()) return Failure(kExitIncomplete, what + ": interrupted: " + moved() + kept());
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
                                                : ExchangeFailureReason();
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

uint64_t ChunkDigest(const uint8_t* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ULL;
    return h;
}

Result SeekFromStart(Session& s, uint64_t offset, const std::string& what, const std::string& kept) {
    uint8_t origin = 0;
    do {
        const uint64_t step = std::min<uint64_t>(offset, INT32_MAX);
        ArmExchange();
        if (DiskSeek(s.file, static_cast<int32_t>(step), origin) != 0) {
            // Inside a transfer: what it moved stands, the rest did not come.
            if (theSerialChannel.PortLost()) return PortLostFailure(what, kept);
            return Failure(kExitIncomplete, what + ": " + ExchangeFailureReason() + "; " + kept);
        }
        offset -= step;
        origin = 1;
    } while (offset != 0);
    return {};
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
                  const std::string& label, const CtrlCStop& stop, const std::string& kept, const std::string& differs) {
    const std::string what = CommandOf(label);
    const bool exact = until == PassEnd::kDue;
    Result r = SeekFromStart(s, from, what + ": seek to byte " + std::to_string(from) + " to compare", kept);
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
    r = ReadChunks(s, until == PassEnd::kEndsThere ? end + 1 : end, exact, end, from, sink, label, stop, kept, &got);
    if (r.ok() && got < end) differsAt = got;
    if (differsAt != kNoDifference) {
        return Failure(kExitVerifyMismatch, what + ": verify mismatch at byte " + std::to_string(differsAt) + " (of " +
                                                std::to_string(end) + "): " + differs);
    }
    return r;
}

}  // namespace cli
