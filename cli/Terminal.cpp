#include "Terminal.h"

#include <chrono>
#include <cstdio>
#include <ostream>

#ifdef _WIN32
#include <io.h>
#define TOVREL_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TOVREL_ISATTY(fd) isatty(fd)
#endif

#include "protocol/DiskTransfer.h"
#include "protocol/TransferProgress.h"
#include "serial/SerialChannel.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PrintFramePart(bool outgoing, const uint8_t* bytes, uint32_t length, void* context) {
    auto& err = *static_cast<std::ostream*>(context);
    static const char kHex[] = "0123456789ABCDEF";
    std::string line = outgoing ? "->" : "<-";
    for (uint32_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[bytes[i] >> 4];
        line += kHex[bytes[i] & 0xF];
    }
    if (length == 0) line += " (nothing)";
    err << line << '\n';
}

}  // namespace

bool StderrIsTerminal() { return TOVREL_ISATTY(2) != 0; }
bool StdinIsTerminal() { return TOVREL_ISATTY(0) != 0; }

void InstallFrameTrace(std::ostream* err) { theSerialChannel.SetTraceHook(PrintFramePart, err); }

ProgressBar::ProgressBar(std::ostream* err, std::string label, bool enabled, const TransferRetries* retries)
    : m_err(err), m_label(std::move(label)), m_enabled(enabled), m_retries(retries), m_startMs(NowMs()) {
    if (m_enabled) m_previous = SetTransferProgressHook(OnChunk, this);
}

ProgressBar::~ProgressBar() {
    if (!m_enabled) return;
    RestoreTransferProgressHook(m_previous);
    if (m_drawn) *m_err << '\n' << std::flush;
}

bool ProgressBar::OnChunk(uint32_t done, uint32_t total, void* context) {
    auto* self = static_cast<ProgressBar*>(context);
    self->Draw(done, total);
    const TransferProgressSlot& outer = self->m_previous;
    return outer.hook == nullptr || outer.hook(done, total, outer.context);
}

void ProgressBar::Draw(uint32_t done, uint32_t total) {
    constexpr int kWidth = 30;
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / total;
    const int filled = static_cast<int>(share * kWidth);
    const double seconds = (NowMs() - m_startMs) / 1000.0;
    const double rate = seconds > 0 ? done / seconds : 0.0;
    char line[200];
    const int retries = m_retries != nullptr ? m_retries->used : 0;
    std::snprintf(line, sizeof line, "\r%s [%-*s] %3d%% %u/%u bytes %.1f KiB/s%s", m_label.c_str(), kWidth,
                  std::string(static_cast<size_t>(filled), '#').c_str(), static_cast<int>(share * 100), done, total,
                  rate / 1024.0, retries == 0 ? "" : (", " + std::to_string(retries) + " retries").c_str());
    *m_err << line << std::flush;
    m_drawn = true;
}
