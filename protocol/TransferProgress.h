// Progress of DiskWrite and DiskRead, reported after every chunk so a window
// can stay painted and show how far a long transfer has come. The hook only
// watches: the exchanges, their order and their results are the same with
// or without it.
#ifndef TOVREL_PROTOCOL_TRANSFERPROGRESS_H
#define TOVREL_PROTOCOL_TRANSFERPROGRESS_H

#include <cstdint>

// done: bytes moved so far; total: the count asked for.
using TransferProgressHook = void (*)(uint32_t done, uint32_t total, void* context);

// Installs the hook (null: none) and returns the one it replaces.
TransferProgressHook SetTransferProgressHook(TransferProgressHook hook, void* context);

// Called by the transfers after each chunk.
void ReportTransferProgress(uint32_t done, uint32_t total);

#endif
