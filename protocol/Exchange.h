// One exchange with the module: a request out, its answer back, and the
// rule that keeps answers in step with requests.
//
// A module answers every request, in order, but not always in time: a USB
// stick may stall a flash write for seconds, so an answer can come after
// the wait has run out, and a client killed mid-exchange leaves its answer
// on the line for whoever opens the port next. Such an answer must never
// be taken for the next request's. So the channel's line is "in doubt"
// from its Open and after any exchange that did not end with a whole answer
// (no answer, cut short, a bad frame). The next exchange then first brings
// it back in step: it reads until the line has been quiet for a while, then
// sends a status request and reads past everything until that request's
// answer, which the module can give only after all it owed before; then it
// waits for quiet once more, and only then sends its own request. A status
// request in doubt is its own resynchronisation. A line that is not in doubt
// costs nothing: the request goes out at once, as it always has.
//
// Every answer's command byte must be the request's (ResponseReceiver).
#ifndef TOVREL_PROTOCOL_EXCHANGE_H
#define TOVREL_PROTOCOL_EXCHANGE_H

#include <cstdint>

constexpr uint8_t kCommandGetInfo = 0x00;

// Sends `frame` (header and same-write data, `length` bytes) and, when
// nameLength is not 0, the name in a second send; then receives the answer
// to frame[2]'s command into destination (room bytes) through
// theResponseReceiver. True when a whole answer came: m_status says how the
// module took it. False for anything else, theResponseReceiver.m_outcome
// telling what; the line is then in doubt. When the line was in doubt and
// could not be brought back in step, nothing of the request is sent.
bool RunExchange(const uint8_t* frame, uint32_t length, const uint8_t* name, uint32_t nameLength, uint8_t* destination,
                 uint32_t room);

// Brings a line in doubt back in step (see above); true at once when it is
// not in doubt. False when the module did not answer the status request:
// the line stays in doubt.
bool BringLineInStep();

// The wait for each answer's first byte (ResponseReceiver::m_waitMs). The
// window keeps kResponseWaitMs throughout. A transfer nobody watches fits it
// to the line instead, so that a lost answer costs a retry rather than two
// seconds: it starts from what the channel's rate needs for the longest
// answer (6 + 512 bytes) plus kFittedWaitMarginMs, grows to twice the
// slowest answer seen, doubles after an answer that did not come (and halves
// back with each that does), and never passes kResponseWaitMs. fixedMs,
// when not 0, is the wait instead.
constexpr uint32_t kFittedWaitMarginMs = 100;
void FitAnswerWait(uint32_t fixedMs);
// Back to kResponseWaitMs, forgetting what was seen.
void KeepFullAnswerWait();

#endif
