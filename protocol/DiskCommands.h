// Files and directories on the module's flash disk: one module command an
// operation, file data in chunks of DISK_CHUNK_SIZE, one exchange a chunk.
//
// The one open file is the record returned by DiskOpenFile: free while its
// handle is 0xFF. Only DiskOpenFile (from free) opens it; DiskCloseFile
// (before anything is sent) and DiskProtocolReset free it. The data commands
// take their handle byte from the record and, given a null or free record,
// send nothing and fail.
//
// Results: name commands and seek return the module's status (0 success)
// or 0xFF for no answer, close 0xF0; chunk and transfer operations return
// the count moved (0 on failure); DiskOpenFile the record or null. A name is
// at most 255 bytes; a longer one is refused with nothing sent.
// The name follows the header in a second send; an empty name has none.
#ifndef TOVREL_PROTOCOL_DISKCOMMANDS_H
#define TOVREL_PROTOCOL_DISKCOMMANDS_H

#include <cstdint>

constexpr uint16_t DISK_CHUNK_SIZE = 512;
// The longest name a command carries, in bytes (code page 936).
constexpr unsigned kMaxDiskNameBytes = 255;

struct TransferResult;

struct DiskFileHandle {
    uint8_t handle;  // the module's handle; 0xFF: no file open
    uint32_t size;   // size at open; 0 when none
};

// Frees the record and leaves the receiver idle; once, before any exchange.
void DiskProtocolReset();
void DiskHandleReset();
// The record while it is free, else null; does not take it.
DiskFileHandle* DiskGetFreeHandle();

DiskFileHandle* DiskOpenFile(const char* name);
uint8_t DiskCloseFile();
uint8_t DiskDeleteFile(const char* name);
uint8_t DiskMakeDir(const char* name);
uint8_t DiskSetCurrentDir(const char* name);
uint8_t DiskRemoveDir(const char* name);

// count at most DISK_CHUNK_SIZE.
uint16_t DiskWriteChunk(const uint8_t* source, uint16_t count, DiskFileHandle* file);
uint16_t DiskReadChunk(uint8_t* destination, uint16_t count, DiskFileHandle* file);
// The count at the file pointer, chunk by chunk (DiskTransfer.h): the bytes
// the module took, a short chunk's included; the first chunk taken short
// ends it. *result (may be null): how it ended.
uint32_t DiskWrite(const uint8_t* source, uint32_t count, DiskFileHandle* file, TransferResult* result = nullptr);
// Up to count bytes from the file pointer, to the file's end if it comes
// first (DiskTransfer.h): the bytes read, a short last chunk's included.
uint32_t DiskRead(uint8_t* destination, uint32_t count, DiskFileHandle* file, TransferResult* result = nullptr);
// origin: 0 from the start, 1 from the current position, 2 from the end.
uint8_t DiskSeek(DiskFileHandle* file, int32_t offset, uint8_t origin);

#endif
