#include "DiskTransfer.h"

#include <algorithm>

#include "DiskCommands.h"
#include "ResponseReceiver.h"
#include "TransferProgress.h"
#include "serial/SerialChannel.h"

namespace {

bool Usable(const DiskFileHandle* file) { return file != nullptr && file->handle != 0xFF; }

// Before each chunk: a chunk that sends nothing reads as unanswered.
void ArmChunk() { theResponseReceiver.m_outcome = ReceiveOutcome::kNoAnswer; }

// The chunk just exchanged was answered with status 0: its count is true.
bool ChunkAnswered() {
    return !theSerialChannel.PortLost() && theResponseReceiver.m_outcome == ReceiveOutcome::kAnswered &&
           theResponseReceiver.m_status == 0;
}

// A progress total that never claims the end before it has come, so that a
// stop (which takes effect only short of the total) still works past an
// estimate that was too small.
uint32_t ShownTotal(uint64_t done, uint64_t estimate, bool ended) {
    const uint64_t total = ended ? done : std::max<uint64_t>(estimate, done + 1);
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

uint32_t Clamped(uint64_t offset) { return static_cast<uint32_t>(std::min<uint64_t>(offset, UINT32_MAX)); }

}  // namespace

bool TransferResult::exchangeFailed() const {
    switch (end) {
        case TransferEnd::kNoAnswer:
        case TransferEnd::kCutShort:
        case TransferEnd::kBadFrame:
        case TransferEnd::kRefused:
        case TransferEnd::kPortLost: return true;
        default: return false;
    }
}

TransferEnd LastExchangeFailure(uint8_t* status) {
    *status = 0;
    if (theSerialChannel.PortLost()) return TransferEnd::kPortLost;
    switch (theResponseReceiver.m_outcome) {
        case ReceiveOutcome::kNoAnswer: return TransferEnd::kNoAnswer;
        case ReceiveOutcome::kCutShort: return TransferEnd::kCutShort;
        case ReceiveOutcome::kBadFrame: return TransferEnd::kBadFrame;
        case ReceiveOutcome::kAnswered: break;
    }
    if (theResponseReceiver.m_status == 0) return TransferEnd::kBadFrame;  // answered, yet without what it owed
    *status = theResponseReceiver.m_status;
    return TransferEnd::kRefused;
}

namespace {

bool Retryable(TransferEnd end) {
    switch (end) {
        case TransferEnd::kNoAnswer:
        case TransferEnd::kCutShort:
        case TransferEnd::kBadFrame:
        case TransferEnd::kRefused:
        case TransferEnd::kShortWrite:
        case TransferEnd::kShortInMiddle:
        case TransferEnd::kEndedEarly: return true;
        default: return false;
    }
}

// After a chunk that failed with `failure`: true when it is to go again,
// the pointer back at `offset`. *stopped when the progress hook said stop.
bool RetryAt(TransferEnd failure, DiskFileHandle* file, uint64_t offset, uint32_t total, TransferRetries* retries,
             int* inARow, bool* stopped) {
    if (!Retryable(failure)) return false;
    while (!theSerialChannel.PortLost() && TakeRetry(retries, inARow)) {
        if (!ReportTransferProgress(Clamped(offset), total)) {
            *stopped = true;
            return false;
        }
        if (SeekFromStart(file, offset)) return true;
    }
    return false;
}

TransferResult Ended(TransferResult r, TransferEnd failure, uint8_t status, bool stopped) {
    r.end = stopped ? TransferEnd::kStopped : theSerialChannel.PortLost() ? TransferEnd::kPortLost : failure;
    r.status = r.end == TransferEnd::kRefused ? status : 0;
    return r;
}

}  // namespace

bool SeekFromStart(DiskFileHandle* file, uint64_t offset) {
    uint8_t origin = 0;
    do {
        const uint64_t step = std::min<uint64_t>(offset, INT32_MAX);
        ArmChunk();
        if (DiskSeek(file, static_cast<int32_t>(step), origin) != 0) return false;
        offset -= step;
        origin = 1;
    } while (offset != 0);
    return true;
}

TransferResult ReadFromDisk(DiskFileHandle* file, uint64_t from, uint64_t limit, bool exact, uint64_t estimate,
                            const ChunkSink& sink, TransferRetries* retries) {
    TransferResult r;
    if (!Usable(file)) {
        r.end = TransferEnd::kNotOpen;
        return r;
    }
    if (estimate == 0) estimate = limit;
    uint8_t chunk[DISK_CHUNK_SIZE];
    uint64_t at = from;
    int inARow = 0;
    while (at < limit && !r.endOfFile) {
        const uint16_t ask = static_cast<uint16_t>(std::min<uint64_t>(DISK_CHUNK_SIZE, limit - at));
        ArmChunk();
        const uint16_t n = DiskReadChunk(chunk, ask, file);
        TransferEnd failure = TransferEnd::kDone;
        uint8_t status = 0;
        if (!ChunkAnswered() || n > ask) {
            failure = LastExchangeFailure(&status);
        } else {
            if (n != 0 && !sink(chunk, n)) {
                r.end = TransferEnd::kSinkFailed;
                return r;
            }
            at += n;
            r.moved += n;
            if (n < ask && exact) {
                failure = TransferEnd::kEndedEarly;
            } else if (n < ask && n != 0) {
                // A real end answers the next read with nothing.
                uint8_t probe[DISK_CHUNK_SIZE];
                ArmChunk();
                const uint16_t more = DiskReadChunk(probe, ask, file);
                if (!ChunkAnswered())
                    failure = LastExchangeFailure(&status);
                else if (more != 0)
                    failure = TransferEnd::kShortInMiddle;
                else
                    r.endOfFile = true;
            } else if (n == 0) {
                r.endOfFile = true;
            }
        }
        const bool done = r.endOfFile || at == limit;
        const uint32_t total = exact ? Clamped(limit) : ShownTotal(at, estimate, done);
        if (failure != TransferEnd::kDone) {
            bool stopped = false;
            if (RetryAt(failure, file, at, total, retries, &inARow, &stopped)) continue;
            r.endOfFile = failure == TransferEnd::kEndedEarly;
            return Ended(r, failure, status, stopped);
        }
        inARow = 0;
        if (!ReportTransferProgress(Clamped(at), total) && !done) {
            r.end = TransferEnd::kStopped;
            return r;
        }
    }
    return r;
}

TransferResult WriteToDisk(DiskFileHandle* file, uint64_t from, uint64_t estimate, const ChunkSource& source,
                           TransferRetries* retries) {
    TransferResult r;
    if (!Usable(file)) {
        r.end = TransferEnd::kNotOpen;
        return r;
    }
    uint8_t buffers[2][DISK_CHUNK_SIZE];
    int current = 0;
    int inARow = 0;
    uint64_t offered = from;  // the offset the bytes taken from the source reach
    long long n = source(buffers[current], DISK_CHUNK_SIZE);
    while (n != 0) {
        if (n < 0) {
            r.end = TransferEnd::kSourceFailed;
            return r;
        }
        offered += static_cast<uint64_t>(n);
        if (offered > UINT32_MAX) {
            r.end = TransferEnd::kTooLarge;
            return r;
        }
        for (;;) {
            ArmChunk();
            const uint16_t taken = DiskWriteChunk(buffers[current], static_cast<uint16_t>(n), file);
            TransferEnd failure = TransferEnd::kDone;
            uint8_t status = 0;
            if (!ChunkAnswered())
                failure = LastExchangeFailure(&status);
            else if (taken != n)
                failure = TransferEnd::kShortWrite;
            if (failure == TransferEnd::kDone) break;
            bool stopped = false;
            const uint64_t at = from + r.moved;
            if (RetryAt(failure, file, at, ShownTotal(at, estimate, false), retries, &inARow, &stopped)) continue;
            if (failure == TransferEnd::kShortWrite) {
                // What the module took of the chunk is on the disk.
                r.moved += std::min<uint64_t>(taken, static_cast<uint64_t>(n));
                r.chunkSent = static_cast<uint16_t>(n);
                r.chunkTaken = taken;
            }
            return Ended(r, failure, status, stopped);
        }
        r.moved += static_cast<uint64_t>(n);
        inARow = 0;
        // Read ahead, so that progress knows the last chunk when it is sent.
        current ^= 1;
        n = source(buffers[current], DISK_CHUNK_SIZE);
        const bool ended = n == 0;
        if (!ReportTransferProgress(Clamped(from + r.moved), ShownTotal(from + r.moved, estimate, ended)) && !ended) {
            r.end = TransferEnd::kStopped;
            return r;
        }
    }
    return r;
}
