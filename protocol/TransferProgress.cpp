#include "TransferProgress.h"

namespace {
TransferProgressHook g_hook = nullptr;
void* g_context = nullptr;
}  // namespace

TransferProgressHook SetTransferProgressHook(TransferProgressHook hook, void* context) {
    const TransferProgressHook previous = g_hook;
    g_hook = hook;
    g_context = context;
    return previous;
}

void ReportTransferProgress(uint32_t done, uint32_t total) {
    if (g_hook != nullptr) g_hook(done, total, g_context);
}
