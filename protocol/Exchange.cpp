#include "Exchange.h"

#include <algorithm>
#include <chrono>

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

// The fitted wait's state (FitAnswerWait).
struct FittedWait {
    bool on = false;
    uint32_t slowestMs = 0;  // the slowest answer seen
    uint32_t grownMs = 0;    // doubled after each answer that did not come
};
FittedWait g_fitted;

uint32_t FittedWaitMs() {
    const uint32_t rate = theSerialChannel.m_nBaudRate > 0 ? static_cast<uint32_t>(theSerialChannel.m_nBaudRate) : 9600u;
    const uint32_t longest = ((kFrameHeaderSize + kMaxPayload) * 10u * 1000u + rate - 1) / rate;
    const uint32_t wait = std::max({longest + kFittedWaitMarginMs, 2 * g_fitted.slowestMs, g_fitted.grownMs});
    return std::min(wait, kResponseWaitMs);
}

bool SendAndReceive(const uint8_t* frame, uint32_t length, const uint8_t* name, uint32_t nameLength,
                    uint8_t* destination, uint32_t room) {
    theSerialChannel.Send(frame, length);
    if (nameLength != 0) theSerialChannel.Send(name, nameLength);
    theResponseReceiver.SetDestination(destination, room);
    theResponseReceiver.m_expectedCommand = frame[2];
    if (g_fitted.on) theResponseReceiver.m_waitMs = FittedWaitMs();
    const auto start = std::chrono::steady_clock::now();
    const bool answered = theResponseReceiver.ReceiveResponse();
    if (g_fitted.on) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (answered) {
            g_fitted.slowestMs = std::max(g_fitted.slowestMs, static_cast<uint32_t>(ms.count()));
            // One answer that did not come is no slower module: the wait
            // goes back down as answers come in time again.
            g_fitted.grownMs /= 2;
        } else if (theResponseReceiver.m_outcome == ReceiveOutcome::kNoAnswer) {
            g_fitted.grownMs = std::min(kResponseWaitMs, 2 * theResponseReceiver.m_waitMs);
        }
    }
    if (!answered) theSerialChannel.SetLineInDoubt(true);
    return answered;
}

// A status request whose answer marks where the module has caught up; the
// line quiet before and after it. It waits the full kResponseWaitMs even
// where the wait is fitted: the module may still be busy with what made
// the last exchange fail, and one long wait here spares many short ones.
bool Resynchronise(const uint8_t* frame, uint32_t length, uint8_t* destination, uint32_t room) {
    DrainLine();
    const bool fitted = g_fitted.on;
    const uint32_t wait = theResponseReceiver.m_waitMs;
    g_fitted.on = false;
    theResponseReceiver.m_waitMs = std::max(wait, kResponseWaitMs);
    const bool answered = SendAndReceive(frame, length, nullptr, 0, destination, room);
    g_fitted.on = fitted;
    theResponseReceiver.m_waitMs = wait;
    if (!answered) return false;
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

void FitAnswerWait(uint32_t fixedMs) {
    g_fitted = FittedWait{};
    g_fitted.on = fixedMs == 0;
    theResponseReceiver.m_waitMs = fixedMs != 0 ? fixedMs : FittedWaitMs();
}

void KeepFullAnswerWait() {
    g_fitted = FittedWait{};
    theResponseReceiver.m_waitMs = kResponseWaitMs;
}
