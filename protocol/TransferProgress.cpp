#include "TransferProgress.h"

namespace {
TransferProgressSlot g_slot;
}  // namespace

TransferProgressSlot SetTransferProgressHook(TransferProgressHook hook, void* context) {
    const TransferProgressSlot previous = g_slot;
    g_slot.hook = hook;
    g_slot.context = context;
    return previous;
}

void RestoreTransferProgressHook(const TransferProgressSlot& previous) { g_slot = previous; }

bool ReportTransferProgress(uint32_t done, uint32_t total) {
    if (g_slot.hook == nullptr) return true;
    return g_slot.hook(done, total, g_slot.context);
}
