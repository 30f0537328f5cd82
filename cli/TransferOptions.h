// put's and get's options, and what they set while a transfer runs: its
// retries and the wait for each answer.
#ifndef TOVREL_CLI_TRANSFEROPTIONS_H
#define TOVREL_CLI_TRANSFEROPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "Cli.h"
#include "CliParts.h"
#include "protocol/DiskTransfer.h"
#include "protocol/Exchange.h"

namespace cli {

// put's and get's options, before the names.
struct TransferOptions {
    bool verify = false;  // read back (put) or read twice (get) and compare
    bool resume = false;  // go on from what an earlier, stopped transfer left
    int retries = kDefaultRetries;  // of a failed chunk, in a row; 0: fail at once
    uint32_t waitMs = 0;  // the wait for each answer; 0: fitted to the line while retrying, else the full 2 s
    int fastRate = 0;     // --fast: the rate for the transfer; 0: none
};

// Takes the options off the front of args; "--" ends them.
Result TakeTransferOptions(const std::string& what, std::vector<std::string>* args, TransferOptions* options);

// While it lives, put's or get's --retries count on the session: its
// failed chunks go again (DiskTransfer.h), and so do its delete, open and
// close, where that can do no harm (CliParts.h).
class RetriesFor {
public:
    RetriesFor(Session& s, const TransferOptions& options) : m_session(s) {
        m_retries.limit = options.retries;
        if (options.retries > 0) s.retries = &m_retries;
    }
    ~RetriesFor() { m_session.retries = nullptr; }
    RetriesFor(const RetriesFor&) = delete;
    RetriesFor& operator=(const RetriesFor&) = delete;
    int Used() const { return m_retries.used; }

private:
    Session& m_session;
    TransferRetries m_retries;
};

// While it lives, each answer waits `waitMs`, or with 0 a wait fitted to
// the line (Exchange.h); afterwards the full wait again. Off: the wait is
// left as it is.
class AnswerWaitFor {
public:
    AnswerWaitFor(bool on, uint32_t waitMs) : m_on(on) {
        if (m_on) FitAnswerWait(waitMs);
    }
    ~AnswerWaitFor() {
        if (m_on) KeepFullAnswerWait();
    }
    AnswerWaitFor(const AnswerWaitFor&) = delete;
    AnswerWaitFor& operator=(const AnswerWaitFor&) = delete;

private:
    bool m_on;
};

// A transfer's chunks wait for answers fitted to the line when retrying: a
// short wait only where a lost answer costs a retry, not the transfer.
// --wait sets one for the whole command instead.
inline bool FitsWaitToLine(const TransferOptions& options) { return options.retries > 0 && options.waitMs == 0; }

}  // namespace cli

#endif
