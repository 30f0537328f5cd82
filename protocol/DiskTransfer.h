// Reading and writing the open disk file in chunks of DISK_CHUNK_SIZE, one
// exchange a chunk: the one loop the window's transfers (DiskRead,
// DiskWrite) and the client's put, get, read and write all run on, so that
// they agree on where a file ends and on what the module took.
//
// A read goes from the file pointer up to a limit. The file ends where an
// answered chunk (status 0) holds fewer bytes than were asked; one that
// held some is confirmed by the next read answering none, since a module
// that answers short in the middle of a file would otherwise pass for its
// end. Those bytes are the file's: they count. A write counts what the
// module said it took, chunk by chunk, a short last chunk included; the
// first chunk it took short of what was sent ends the write.
//
// Offsets are the file pointer's, from the file's start: a transfer starts
// at `from`, its counts and progress go on from there. Progress goes to
// ReportTransferProgress after every chunk (TransferProgress.h); a hook
// that answers false stops the transfer between two chunks, never inside
// an exchange, unless that chunk was its last.
//
// Memory: one or two 512-byte buffers, whatever a count or size claims.
#ifndef TOVREL_PROTOCOL_DISKTRANSFER_H
#define TOVREL_PROTOCOL_DISKTRANSFER_H

#include <cstddef>
#include <cstdint>
#include <functional>

struct DiskFileHandle;

// How a transfer ended.
enum class TransferEnd : uint8_t {
    kDone,           // a read reached its limit or the file's end; a write its source's end
    kNotOpen,        // no file open (a null or free record): nothing sent
    kNoAnswer,       // a chunk's answer did not come
    kCutShort,       // a chunk's answer began and stopped before its end
    kBadFrame,       // a chunk's answer could not be taken (garbage, a wrong length, no count)
    kRefused,        // the module refused a chunk: TransferResult::status
    kPortLost,       // the port went away (an adapter pulled, the line hung up)
    kEndedEarly,     // an exact read: the file ended before the limit
    kShortInMiddle,  // a read answered short, and the read after it was not empty
    kShortWrite,     // the module took fewer of a chunk's bytes than were sent
    kStopped,        // the progress hook asked to stop, between two chunks
    kSinkFailed,     // the caller's sink refused bytes read
    kSourceFailed,   // the caller's source could not give the bytes to write
    kTooLarge,       // a write would take the file past 4 GiB - 1, which the module cannot hold
};

struct TransferResult {
    TransferEnd end = TransferEnd::kDone;
    uint64_t moved = 0;       // bytes handed to the sink, or taken by the module, from `from`
    bool endOfFile = false;   // a read met the file's end
    uint8_t status = 0;       // kRefused: the module's status
    uint16_t chunkSent = 0;   // kShortWrite: the chunk's bytes
    uint16_t chunkTaken = 0;  // kShortWrite: what the module said it took
    bool ok() const { return end == TransferEnd::kDone; }
    // The chunk's exchange failed (no answer, cut short, bad frame, refused,
    // port lost), as against the caller's side or a stop.
    bool exchangeFailed() const;
};

// Takes the bytes of a read, in order; false stops it (kSinkFailed).
using ChunkSink = std::function<bool(const uint8_t* data, size_t size)>;
// Gives the bytes of a write: fills up to size, fewer only at its end; 0 at
// the end, -1 when it cannot (kSourceFailed).
using ChunkSource = std::function<long long(uint8_t* data, size_t size)>;

// Retries of failed chunks, for a transfer nobody watches (the client's;
// the window's fail at once). A chunk whose exchange failed (no answer, cut
// short, a bad frame, a refusal, a short write, a short answer in the
// middle, an exact read that ended early) is tried again, up to `limit`
// times in a row: the next exchange brings the line back in step first
// (Exchange.h), the file pointer is sought back to the last offset the
// module acknowledged, and the same chunk goes again: the same bytes to the
// same place, so a retry can do no harm. A lost port is never retried.
// Each retry is also reported to the progress hook (same figures), which
// may stop the transfer there. `from` must then be the pointer's true
// offset.
struct TransferRetries {
    int limit = 0;  // retries of one chunk in a row; 0: none
    int used = 0;   // retries made so far, counted up by the transfers
};

// One more retry, the `*inARow`-th in a row plus one, when `retries` (may
// be null: none) allows it: counted in both. False: none left.
inline bool TakeRetry(TransferRetries* retries, int* inARow) {
    if (retries == nullptr || *inARow >= retries->limit) return false;
    ++*inARow;
    ++retries->used;
    return true;
}

// Reads from the file pointer, at offset `from`, up to offset `limit`.
// exact: all of them are due, and a file that ends before is kEndedEarly
// (no confirming read is made). Otherwise the read stops at the file's end.
// `estimate`: where the file is expected to end, for progress (0: limit).
TransferResult ReadFromDisk(DiskFileHandle* file, uint64_t from, uint64_t limit, bool exact, uint64_t estimate,
                            const ChunkSink& sink, TransferRetries* retries = nullptr);

// Writes the source's bytes at the file pointer, at offset `from`.
// `estimate`: where the file is expected to end, for progress (0: unknown).
TransferResult WriteToDisk(DiskFileHandle* file, uint64_t from, uint64_t estimate, const ChunkSource& source,
                           TransferRetries* retries = nullptr);

// Moves the file pointer to `offset` (at most 4 GiB - 1) from the start: a
// seek carries a signed 32-bit offset, so past 2 GiB it takes further steps
// from where the last one went. True when every step was answered with
// status 0.
bool SeekFromStart(DiskFileHandle* file, uint64_t offset);

// How the last chunk's exchange failed: kPortLost, kNoAnswer, kCutShort,
// kBadFrame or kRefused (with *status); for a caller that made one itself.
TransferEnd LastExchangeFailure(uint8_t* status);

#endif
