#include "ResponseReceiver.h"

#include <algorithm>
#include <chrono>

#include "serial/SerialChannel.h"

ResponseReceiver theResponseReceiver;

void PutCommandHeader(uint8_t* out, uint8_t command, uint8_t handle, uint16_t length) {
    out[0] = kCommandMarker0;
    out[1] = kCommandMarker1;
    out[2] = command;
    out[3] = handle;
    out[4] = static_cast<uint8_t>(length & 0xFF);
    out[5] = static_cast<uint8_t>(length >> 8);
}

void ResponseReceiver::FeedByte(uint8_t byte) {
    if (m_done != 0) return;
    if (m_phase == 1) {
        // A length beyond the room is refused before the payload is read;
        // this bound holds for any caller all the same.
        if (m_received < m_destinationRoom && m_pDestination != nullptr) m_pDestination[m_received] = byte;
        ++m_received;
        if (m_received == m_payloadLength) {
            m_done = 0xFF;
            m_phase = 0;
        }
        return;
    }
    // The marker is looked for at every byte: an answer behind stray bytes
    // is found wherever it starts (53 53 3A ... included).
    if (m_headerIndex == 0 && byte != kResponseMarker0) return;
    if (m_headerIndex == 1 && byte != kResponseMarker1) {
        m_headerIndex = byte == kResponseMarker0 ? 1 : 0;
        return;
    }
    m_header[m_headerIndex] = byte;
    ++m_headerIndex;
    if (m_headerIndex == kFrameHeaderSize) {
        m_status = m_header[3];
        m_payloadLength = static_cast<uint16_t>(m_header[4] + 256 * m_header[5]);
        m_headerIndex = 0;
        m_received = 0;
        if (m_payloadLength != 0) {
            m_phase = 1;
        } else {
            m_done = 0xFF;
        }
    }
}

bool ResponseReceiver::HeaderAccepted() const {
    const bool headerComplete = m_done != 0 || m_phase == 1;
    if (!headerComplete) return false;
    return m_payloadLength <= kMaxPayload && m_payloadLength <= m_destinationRoom;
}

namespace {

using Clock = std::chrono::steady_clock;

// One read of the loop: the receiver's wait, but never past the deadline.
bool ReadWithin(uint8_t* staging, uint32_t count, uint32_t waitMs, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const uint32_t wait = static_cast<uint32_t>(std::min<long long>(left, waitMs));
    return (theSerialChannel.WaitAndRead(staging, count, wait) & 0xFF) == 0;
}

}  // namespace

bool ResponseReceiver::ReceiveResponse() {
    const int expected = m_expectedCommand;
    m_expectedCommand = -1;
    m_strayBytes = 0;
    m_outcome = ReceiveOutcome::kNoAnswer;
    // An answer alone takes at most four waits (header and payload, each a
    // first byte and the rest); stray bytes get no more than that.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(4ull * m_waitMs);
    uint8_t staging[kMaxPayload];
    uint32_t read = 0;    // bytes read by this receive
    uint32_t framed = 0;  // of them, in whole frames of other requests
    for (;;) {
        m_done = 0;
        m_phase = 0;
        m_headerIndex = 0;
        // Never more than the header still lacks: a byte either goes on
        // with it or was a stray, so the read cannot run into the payload.
        while (m_done == 0 && m_phase == 0) {
            const uint32_t need = kFrameHeaderSize - m_headerIndex;
            if (read > kMaxStrayBytes || !ReadWithin(staging, need, m_waitMs, deadline)) {
                m_outcome = m_headerIndex != 0 ? ReceiveOutcome::kCutShort
                            : read > m_strayBytes ? ReceiveOutcome::kBadFrame
                                                  : ReceiveOutcome::kNoAnswer;
                return false;
            }
            read += need;
            for (uint32_t i = 0; i < need; ++i) FeedByte(staging[i]);
        }
        const bool forThisRequest = expected < 0 || m_header[2] == expected;
        if (forThisRequest) break;
        // Another request's answer, late: read past it whole when its length
        // is one an answer can have, else look for a header in what follows.
        if (m_payloadLength <= kMaxPayload) {
            if (m_payloadLength != 0 && !ReadWithin(staging, m_payloadLength, m_waitMs, deadline)) {
                m_outcome = ReceiveOutcome::kNoAnswer;
                return false;
            }
            read += m_payloadLength;
            framed += kFrameHeaderSize + m_payloadLength;
        }
        m_strayBytes = read;
    }
    m_strayBytes = read - kFrameHeaderSize;
    if (!HeaderAccepted()) {
        m_outcome = ReceiveOutcome::kBadFrame;
        return false;
    }
    if (m_payloadLength != 0) {
        if (!ReadWithin(staging, m_payloadLength, m_waitMs, deadline)) {
            m_outcome = ReceiveOutcome::kCutShort;
            return false;
        }
        for (uint32_t i = 0; i < m_payloadLength; ++i) FeedByte(staging[i]);
    }
    // Found behind bytes that were no whole frame: a real answer is the last
    // thing on the line, while a header that turned up inside a damaged
    // frame's payload has the rest of that payload after it. (Whole frames
    // of other requests may well be followed by more answers.)
    if (m_strayBytes != framed && !theSerialChannel.StaysQuiet(theSerialChannel.QuietTimeMs())) {
        m_outcome = ReceiveOutcome::kBadFrame;
        return false;
    }
    m_outcome = ReceiveOutcome::kAnswered;
    return true;
}
