// Progress of DiskWrite and DiskRead, reported after every chunk, so that a
// window can stay painted and show how far a long transfer has come, and so
// that the user can stop it. Stopping takes effect between chunks, never
// inside an exchange: the exchanges and their order are the same with or
// without a hook, only fewer of them when the hook asks to stop.
//
// One hook is installed at a time. A caller that installs its own keeps the
// one it replaced and puts it back, with that hook's own context, when done,
// so hooks nest.
#ifndef TOVREL_PROTOCOL_TRANSFERPROGRESS_H
#define TOVREL_PROTOCOL_TRANSFERPROGRESS_H

#include <cstdint>

// done: bytes moved so far; total: the count asked for. Returns true to go
// on, false to stop the transfer after the chunk just finished.
using TransferProgressHook = bool (*)(uint32_t done, uint32_t total, void* context);

struct TransferProgressSlot {
    TransferProgressHook hook = nullptr;  // null: none
    void* context = nullptr;
};

// Installs the hook (null: none) and returns the slot it replaces.
TransferProgressSlot SetTransferProgressHook(TransferProgressHook hook, void* context);
// Puts back a slot that SetTransferProgressHook returned.
void RestoreTransferProgressHook(const TransferProgressSlot& previous);

// Called by the transfers after each chunk. False: stop now.
bool ReportTransferProgress(uint32_t done, uint32_t total);

#endif
