#include "DiskCommands.h"

#include <algorithm>
#include <cstring>

#include "DiskTransfer.h"
#include "Exchange.h"
#include "ResponseReceiver.h"

namespace {

constexpr uint8_t kFree = 0xFF;
constexpr uint8_t kNoAnswer = 0xFF;
constexpr uint8_t kCloseNoAnswer = 0xF0;

constexpr uint8_t kCommandOpen = 0x10;
constexpr uint8_t kCommandClose = 0x12;
constexpr uint8_t kCommandDelete = 0x13;
constexpr uint8_t kCommandWrite = 0x20;
constexpr uint8_t kCommandRead = 0x30;
constexpr uint8_t kCommandSeek = 0x40;
constexpr uint8_t kCommandMakeDir = 0x50;
constexpr uint8_t kCommandSetDir = 0x52;
constexpr uint8_t kCommandRemoveDir = 0x53;

constexpr uint32_t kOpenAnswerSize = 5;
constexpr uint32_t kWriteAnswerSize = 2;

DiskFileHandle theOpenFile = {kFree, 0};

bool Usable(const DiskFileHandle* file) { return file != nullptr && file->handle != kFree; }

// Header, then the name in a second send; the answer lands in `frame`.
// False for a name the length byte cannot carry (nothing sent) or no answer.
bool NameExchange(uint8_t command, uint8_t handle, const char* name, uint8_t (&frame)[8]) {
    const size_t length = std::strlen(name);
    if (length > kMaxDiskNameBytes) return false;
    PutCommandHeader(frame, command, handle, static_cast<uint16_t>(length));
    // An empty name puts nothing on the line, and the module may already be
    // answering the header: the purge of a second send would discard that.
    return RunExchange(frame, kFrameHeaderSize, reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(length),
                       frame, sizeof frame);
}

uint8_t NameCommand(uint8_t command, uint8_t handle, const char* name) {
    uint8_t frame[8];
    if (!NameExchange(command, handle, name, frame)) return kNoAnswer;
    return theResponseReceiver.m_status;
}

}  // namespace

void DiskProtocolReset() {
    DiskHandleReset();
    theResponseReceiver.m_done = 0xFF;
}

void DiskHandleReset() {
    theOpenFile.handle = kFree;
    theOpenFile.size = 0;
}

DiskFileHandle* DiskGetFreeHandle() { return theOpenFile.handle == kFree ? &theOpenFile : nullptr; }

DiskFileHandle* DiskOpenFile(const char* name) {
    DiskFileHandle* file = DiskGetFreeHandle();
    if (file == nullptr) return nullptr;
    uint8_t frame[8];
    if (!NameExchange(kCommandOpen, 0xFF, name, frame)) return nullptr;
    if (theResponseReceiver.m_status != 0) return nullptr;
    // A short answer would leave the handle and size to the request's bytes.
    if (theResponseReceiver.m_received < kOpenAnswerSize) return nullptr;
    file->handle = frame[0];
    file->size = GetU32Le(frame + 1);
    return file;
}

uint8_t DiskCloseFile() {
    uint8_t frame[8];
    PutCommandHeader(frame, kCommandClose, 0x00, 0);
    DiskHandleReset();
    if (!RunExchange(frame, kFrameHeaderSize, nullptr, 0, frame, sizeof frame)) return kCloseNoAnswer;
    return theResponseReceiver.m_status;
}

uint8_t DiskDeleteFile(const char* name) { return NameCommand(kCommandDelete, 0xFF, name); }
uint8_t DiskMakeDir(const char* name) { return NameCommand(kCommandMakeDir, 0xFF, name); }
uint8_t DiskSetCurrentDir(const char* name) { return NameCommand(kCommandSetDir, 0x00, name); }
uint8_t DiskRemoveDir(const char* name) { return NameCommand(kCommandRemoveDir, 0x00, name); }

uint16_t DiskWriteChunk(const uint8_t* source, uint16_t count, DiskFileHandle* file) {
    if (!Usable(file) || count > DISK_CHUNK_SIZE) return 0;
    uint8_t answer[6];
    uint8_t frame[kFrameHeaderSize + DISK_CHUNK_SIZE];
    PutCommandHeader(frame, kCommandWrite, file->handle, count);
    if (count != 0) std::memcpy(frame + kFrameHeaderSize, source, count);
    if (!RunExchange(frame, kFrameHeaderSize + count, nullptr, 0, answer, sizeof answer)) return 0;
    if (theResponseReceiver.m_status != 0) return 0;
    if (theResponseReceiver.m_received < kWriteAnswerSize) return 0;
    return static_cast<uint16_t>(answer[0] + 256 * answer[1]);
}

uint32_t DiskWrite(const uint8_t* source, uint32_t count, DiskFileHandle* file, TransferResult* result) {
    uint32_t at = 0;
    const TransferResult r = WriteToDisk(file, 0, count, [&](uint8_t* data, size_t size) -> long long {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, count - at));
        if (n != 0) std::memcpy(data, source + at, n);
        at += n;
        return n;
    });
    if (result != nullptr) *result = r;
    return static_cast<uint32_t>(r.moved);
}

uint16_t DiskReadChunk(uint8_t* destination, uint16_t count, DiskFileHandle* file) {
    if (!Usable(file) || count > DISK_CHUNK_SIZE) return 0;
    uint8_t frame[10];
    PutCommandHeader(frame, kCommandRead, file->handle, 4);
    frame[6] = static_cast<uint8_t>(count & 0xFF);
    frame[7] = static_cast<uint8_t>(count >> 8);
    frame[8] = 0;
    frame[9] = 0;
    if (!RunExchange(frame, sizeof frame, nullptr, 0, destination, count)) return 0;
    if (theResponseReceiver.m_status != 0) return 0;
    return static_cast<uint16_t>(theResponseReceiver.m_received);
}

uint32_t DiskRead(uint8_t* destination, uint32_t count, DiskFileHandle* file, TransferResult* result) {
    uint32_t at = 0;
    const TransferResult r = ReadFromDisk(file, 0, count, false, count, [&](const uint8_t* data, size_t size) {
        std::memcpy(destination + at, data, size);
        at += static_cast<uint32_t>(size);
        return true;
    });
    if (result != nullptr) *result = r;
    return static_cast<uint32_t>(r.moved);
}

uint8_t DiskSeek(DiskFileHandle* file, int32_t offset, uint8_t origin) {
    if (!Usable(file)) return kNoAnswer;
    uint8_t frame[12];
    PutCommandHeader(frame, kCommandSeek, file->handle, 5);
    const uint32_t bits = static_cast<uint32_t>(offset);
    frame[6] = static_cast<uint8_t>(bits & 0xFF);
    frame[7] = static_cast<uint8_t>((bits >> 8) & 0xFF);
    frame[8] = static_cast<uint8_t>((bits >> 16) & 0xFF);
    frame[9] = static_cast<uint8_t>(bits >> 24);
    frame[10] = origin;
    if (!RunExchange(frame, 11, nullptr, 0, frame, sizeof frame)) return kNoAnswer;
    return theResponseReceiver.m_status;
}
