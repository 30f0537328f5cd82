// What the client shows on stderr besides its messages: frame traces and
// a progress bar.
#ifndef TOVREL_CLI_TERMINAL_H
#define TOVREL_CLI_TERMINAL_H

#include <cstdint>
#include <iosfwd>
#include <string>

#include "protocol/TransferProgress.h"

bool StderrIsTerminal();
bool StdinIsTerminal();

// Prints every frame part sent and received, as "-> 55 3A ..." and
// "<- 53 3A ...", while installed.
void InstallFrameTrace(std::ostream* err);

// A progress bar for one transfer, drawn on err between chunks while it
// lives (when enabled); the line is finished when it goes. The hook it
// replaced still sees every chunk and decides whether the transfer goes on.
class ProgressBar {
public:
    // retries (may be null): shown when there are any.
    ProgressBar(std::ostream* err, std::string label, bool enabled, const struct TransferRetries* retries = nullptr);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

private:
    static bool OnChunk(uint32_t done, uint32_t total, void* context);
    void Draw(uint32_t done, uint32_t total);

    std::ostream* m_err;
    std::string m_label;
    bool m_enabled;
    const struct TransferRetries* m_retries;
    bool m_drawn = false;
    int64_t m_startMs;
    TransferProgressSlot m_previous;
};

#endif
