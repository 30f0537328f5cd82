#include "DeviceCommands.h"

#include "Exchange.h"
#include "ResponseReceiver.h"

namespace {
constexpr uint8_t kCommandSetParams = 0x01;
constexpr uint32_t kInfoPayloadSize = 14;
constexpr uint32_t kSettingsPayloadSize = 7;
constexpr uint32_t kFrameBufferSize = 16;
}  // namespace

bool DiskGetInfo(DeviceInfo* info) {
    uint8_t frame[kFrameBufferSize];
    PutCommandHeader(frame, kCommandGetInfo, 0x00, 0);
    info->diskPresent = 0;
    if (!RunExchange(frame, kFrameHeaderSize, nullptr, 0, frame, sizeof frame)) return false;
    if (theResponseReceiver.m_status != 0) return false;
    // A short report would leave positions holding the request's bytes.
    if (theResponseReceiver.m_received < kInfoPayloadSize) return false;

    info->baudIndex = frame[0];
    info->year = frame[1];
    info->month = frame[2];
    info->day = frame[3];
    info->hour = frame[4];
    info->minute = frame[5];
    info->second = frame[6];
    info->diskPresent = frame[7];
    info->fileHandle = frame[8];
    info->fileSize = GetU32Le(frame + 9);
    info->reserved = frame[13];
    return true;
}

bool DiskSetParams(const DeviceSettings* settings) {
    uint8_t frame[kFrameBufferSize];
    PutCommandHeader(frame, kCommandSetParams, 0x00, kSettingsPayloadSize);
    frame[6] = settings->baudIndex;
    frame[7] = settings->year;
    frame[8] = settings->month;
    frame[9] = settings->day;
    frame[10] = settings->hour;
    frame[11] = settings->minute;
    frame[12] = settings->second;
    if (!RunExchange(frame, kFrameHeaderSize + kSettingsPayloadSize, nullptr, 0, frame, sizeof frame)) return false;
    return theResponseReceiver.m_status == 0;
}
