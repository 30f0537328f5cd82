#include "Exchange.h"

#include "ResponseReceiver.h"
#include "serial/SerialChannel.h"

namespace {

constexpr uint32_t kStatusAnswerRoom = 16;

// Bytes still coming after this much are not an answer trickling in: the
// status request that follows reads past them.
constexpr uint32_t kDrainCapMs = kResponseWaitMs;

void DrainLine() {
    theSerialChannel.DrainUntilQuiet(theSerialChannel.QuietTimeMs(), kDrainCapMs, nullptr);
}

bool SendAndReceive(const uint8_t* frame, uint32_t length, const uint8_t* name, uint32_t nameLength,
                    uint8_t* destination, uint32_t room) {
    theSerialChannel.Send(frame, length);
    if (nameLength != 0) theSerialChannel.Send(name, nameLength);
    theResponseReceiver.SetDestination(destination, room);
    theResponseReceiver.m_expectedCommand = frame[2];
    const bool answered = theResponseReceiver.ReceiveResponse();
    if (!answered) theSerialChannel.SetLineInDoubt(true);
    return answered;
}

// A status request whose answer marks where the module has caught up; the
// line quiet before and after it.
bool Resynchronise(const uint8_t* frame, uint32_t length, uint8_t* destination, uint32_t room) {
    DrainLine();
    if (!SendAndReceive(frame, length, nullptr, 0, destination, room)) return false;
    // A request of ours that the module had queued behind the late one may
    // be answered right after.
    DrainLine();
    theSerialChannel.SetLineInDoubt(false);
    return true;
}

}  // namespace

bool BringLineInStep() {
    if (!theSerialChannel.LineInDoubt()) return true;
    uint8_t frame[kStatusAnswerRoom];
    PutCommandHeader(frame, kCommandGetInfo, 0x00, 0);
    return Resynchronise(frame, kFrameHeaderSize, frame, sizeof frame);
}

bool RunExchange(const uint8_t* frame, uint32_t length, const uint8_t* name, uint32_t nameLength, uint8_t* destination,
                 uint32_t room) {
    if (theSerialChannel.LineInDoubt()) {
        if (frame[2] == kCommandGetInfo && nameLength == 0) return Resynchronise(frame, length, destination, room);
        if (!BringLineInStep()) return false;
    }
    return SendAndReceive(frame, length, name, nameLength, destination, room);
}
