#include "ResponseReceiver.h"

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
    m_header[m_headerIndex] = byte;
    ++m_headerIndex;
    if (m_headerIndex == 2 && (m_header[0] != kResponseMarker0 || m_header[1] != kResponseMarker1)) {
        m_headerIndex = 0;
        return;
    }
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
    // Six bytes that did not make a header (the marker was wrong, so it
    // restarted) carry no length to go by.
    const bool headerComplete = m_done != 0 || m_phase == 1;
    if (!headerComplete) return false;
    return m_payloadLength <= kMaxPayload && m_payloadLength <= m_destinationRoom;
}

bool ResponseReceiver::ReceiveResponse() {
    m_done = 0;
    m_phase = 0;
    m_headerIndex = 0;

    uint8_t staging[kMaxPayload];
    if ((theSerialChannel.WaitAndRead(staging, kFrameHeaderSize, kResponseWaitMs) & 0xFF) != 0) return false;
    for (uint32_t i = 0; i < kFrameHeaderSize; ++i) FeedByte(staging[i]);

    if (!HeaderAccepted()) return false;
    if (m_payloadLength == 0) return true;

    if ((theSerialChannel.WaitAndRead(staging, m_payloadLength, kResponseWaitMs) & 0xFF) != 0) return false;
    for (uint32_t i = 0; i < m_payloadLength; ++i) FeedByte(staging[i]);
    return true;
}
