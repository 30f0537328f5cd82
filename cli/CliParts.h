// What the client's commands share inside the client: the steps of an
// exchange's failure, the open file, and the chunk loops of transfers
// (Chunks.cpp), which the transfer commands (Transfers.cpp) and the shell's
// data commands are made of.
#ifndef TOVREL_CLI_CLIPARTS_H
#define TOVREL_CLI_CLIPARTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Cli.h"

class CtrlCStop;
class PcFileSource;

namespace cli {

// put's and get's --retries (a failed chunk's, in a row) and --wait.
constexpr int kDefaultRetries = 5;
constexpr int kMostRetries = 100;
constexpr long kLongestWaitMs = 60000;

// The module's status codes that Tovrel knows, those the simulator uses
// (1 not found ... 11 disk error; tovrel-cli(1) lists them): the name, or
// null for a code it does not know. A module may answer others.
const char* ModuleStatusName(uint8_t status);
constexpr uint8_t kModuleStatusFileOpen = 6;
// "refused by the module (status 6: a file is already open)".
std::string RefusalText(uint8_t status);
// Why the last exchange did not deliver: a refusal, no answer, a bad frame
// or a lost port, for messages.
std::string ExchangeFailureReason();
// How the last exchange ended, for a command that reported failure.
Result ExchangeFailure(const std::string& what);
// So that a command which sends nothing reads as unanswered.
void ArmExchange();
Result RequireArgs(const std::vector<std::string>& args, size_t min, size_t max, const char* usage);
Result RequireNoOpenFile(const Session& s, const char* what);
// Opens the disk file `utf8` as the session's open file; `what` begins
// the messages ("get"). An open refused while the module has a file open
// (as one a killed client left) says so and how to close it.
Result OpenFile(Session& s, const std::string& utf8, const std::string& what);
Result CloseFile(Session& s);
// How the user closes the module's file: `tovrel-cli close`, in the shell `close`.
std::string CloseAdvice(const Session& s);
// A name as the module resolves it against the session's current directory
// (see Session::moduleDir): "/" starts at the root, "." and empty parts are
// skipped, ".." goes up. False when that cannot be told: ".." above the
// root or a backslash (which the module refuses), or a relative name while the
// directory is not known.
bool ResolveOnModule(const Session& s, const std::string& utf8, std::vector<std::string>* path);
// ", after 3 retries" when there were any, else nothing.
std::string RetriesNote(int used);
// The command that starts a transfer's messages: "put" of "put DATA.BIN".
std::string CommandOf(const std::string& label);
// A PC path goes to the system as a C string: a NUL would cut it short.
Result PcPath(const std::string& what, const std::string& path);

// Takes the bytes of a read, chunk by chunk; false with *error stops it.
using ReadSink = std::function<bool(const uint8_t* data, size_t size, std::string* error)>;
// Gives the bytes of a write: fills up to size, fewer only at the end (0:
// the end); -1 with *error on failure.
using WriteSource = std::function<long long(uint8_t* data, size_t size, std::string* error)>;

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
                  const std::string& label, const CtrlCStop& stop, const std::string& untouched, uint64_t* got);
// Writes at the file pointer in 512-byte chunks from source, drawing the
// progress bar and stopping between chunks on Ctrl+C. The count is what
// the module acknowledged, chunk by chunk, from `from`: the file pointer's
// offset, which the count starts at. `holder` names what keeps the bytes of
// a write cut short (empty: the open file, at its pointer). `estimate`: the
// size expected, for the bar and messages (0: unknown).
Result WriteChunks(Session& s, const WriteSource& source, uint64_t estimate, uint64_t from, const std::string& label,
                   const CtrlCStop& stop, const std::string& holder, uint64_t* written);
WriteSource BytesSource(const std::vector<uint8_t>& data);

// A chunk's fingerprint, FNV-1a in 64 bits: every step is a bijection of
// the state, so one changed byte always changes it; other damage goes
// unseen with odds of about 2^-64.
uint64_t ChunkDigest(const uint8_t* data, size_t size);
// Moves the file pointer `offset` bytes (at most 4 GiB - 1) from the start.
// A seek carries a signed 32-bit offset: past 2 GiB it takes further steps
// from where the last one went.
// A seek that fails is a transfer stopped short: exit 7 (9 for a lost
// port), `what` and why, then `kept`: what the disk or the PC holds.
Result SeekFromStart(Session& s, uint64_t offset, const std::string& what, const std::string& kept);

// Compares bytes read back with the bytes they should be.
// Returns the offset of the first that differs, kNoDifference, or
// kCheckFailed with *error when the bytes to compare with cannot be had.
constexpr uint64_t kNoDifference = UINT64_MAX;
constexpr uint64_t kCheckFailed = UINT64_MAX - 1;
using ReadBackCheck = std::function<uint64_t(uint64_t offset, const uint8_t* data, size_t size, std::string* error)>;
// A check against bytes read from the PC (or the first pass's file) at the
// same offset: `read` fills them, a count or -1 with *error.
ReadBackCheck CheckAgainst(std::function<long long(uint64_t offset, uint8_t* to, size_t size, std::string* error)> read);
// Compares bytes read back with the PC file as put sent it from `base` to
// `end`: each chunk sent left its digest, so the PC file is not read again,
// but for the one chunk that differs (or a piece of one where the disk file
// ends early), read once more to name the byte.
uint64_t CompareWithSent(PcFileSource& source, const std::vector<uint64_t>& digests, uint64_t base, uint64_t end,
                         uint64_t offset, const uint8_t* data, size_t size, std::string* error);
// Where a pass that compares ends:
//   kDue: `end` bytes are due, as for a read (a file that ends early fails, exit 7);
//   kEndsThere: the file must end at `end`; one that ends earlier or goes on differs there;
//   kStart: its first `end` bytes; a file that ends earlier differs there.
enum class PassEnd { kDue, kEndsThere, kStart };
// Mends a chunk that a verify pass found different, before it is read
// again: put writes it again from the PC file, get reads it again and keeps
// what two reads agree on. `data`: the `size` bytes the pass read at `offset`.
using ChunkRepair = std::function<Result(uint64_t offset, const uint8_t* data, size_t size)>;
// Reads the open file again from `from`, comparing it with `check` as it
// comes; the first difference ends it with exit 11, naming its offset and
// `differs`, unless `repair` (may be empty) mends it within the session's
// retries, after which the pass goes on from that chunk. `kept` says what
// the disk or the PC holds when the pass stops short; a failed check is
// exit 6.
Result VerifyPass(Session& s, uint64_t from, uint64_t end, PassEnd until, const ReadBackCheck& check,
                  const std::string& label, const CtrlCStop& stop, const std::string& kept, const std::string& differs,
                  const ChunkRepair& repair = nullptr);

// The transfer commands, with their arguments.
Result Put(Session& s, std::vector<std::string> args);
Result Get(Session& s, std::vector<std::string> args);
// The shell's, on its open file.
Result Write(Session& s, const std::vector<std::string>& args);
Result WriteFromPc(Session& s, const std::vector<std::string>& args);
Result Read(Session& s, const std::vector<std::string>& args);
Result ReadToPc(Session& s, const std::vector<std::string>& args);

}  // namespace cli

#endif
