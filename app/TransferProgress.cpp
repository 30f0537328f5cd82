#include "TransferProgress.h"

CTransferProgress::CTransferProgress(CDialog* owner, std::string label)
    : m_pOwner(owner),
      m_label(std::move(label)),
      m_start(Clock::now()),
      m_lastRepaint(m_start - std::chrono::milliseconds(kRepaintEveryMs)),
      m_previousHook(SetTransferProgressHook(&OnProgress, this)) {}

CTransferProgress::~CTransferProgress() { RestoreTransferProgressHook(m_previousHook); }

bool CTransferProgress::OnProgress(uint32_t done, uint32_t total, void* context) {
    return static_cast<CTransferProgress*>(context)->Update(done, total);
}

bool CTransferProgress::Update(uint32_t done, uint32_t total) {
    const auto now = Clock::now();
    const bool cancelled = Cancelled();
    if (now - m_lastRepaint < std::chrono::milliseconds(kRepaintEveryMs) && done != total) return !cancelled;
    m_lastRepaint = now;
    if (m_pWindow == nullptr && now - m_start >= std::chrono::milliseconds(kShowAfterMs) && done < total)
        m_pWindow = std::make_unique<CProgressWindow>(m_pOwner, m_label);
    if (m_pWindow != nullptr && !cancelled) {
        const int permille = total == 0 ? 1000 : static_cast<int>(static_cast<uint64_t>(done) * 1000 / total);
        m_pWindow->SetProgress(m_label + "\n" + std::to_string(done) + " / " + std::to_string(total) + " 字节",
                               permille);
    }
    KeepWindowPainted();
    return !Cancelled();
}
