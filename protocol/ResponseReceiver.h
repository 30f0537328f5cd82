// Frames exchanged with the module, and the parser that collects one
// response from the serial channel.
//
// Every conversation is one exchange: a CommandFrame (55 3A ...) goes out,
// one ResponseFrame (53 3A ...) comes back. A command points m_pDestination
// (with its room) at the buffer that is to take the payload, runs
// ReceiveResponse(), and reads m_status (and m_received) afterwards.
//
// Receiver states: idle (m_done 0xFF: bytes are ignored), collecting the
// header (m_phase 0, m_headerIndex 0..5), collecting the payload (m_phase 1,
// m_received counting up to m_payloadLength), complete (m_done 0xFF again).
// ReceiveResponse() arms it afresh, so nothing of a failed exchange carries
// into the next.
//
// Stray bytes never pass for an answer: the header is looked for at every
// byte (53 3A, wherever it starts), and a whole frame whose command byte is
// not the request's (an answer that came too late for an earlier request)
// is read past, not taken. Both are bounded: by kMaxStrayBytes and by the
// time a few waits allow.
#ifndef TOVREL_PROTOCOL_RESPONSERECEIVER_H
#define TOVREL_PROTOCOL_RESPONSERECEIVER_H

#include <cstdint>

constexpr uint8_t kCommandMarker0 = 0x55;   // 'U'
constexpr uint8_t kCommandMarker1 = 0x3A;   // ':'
constexpr uint8_t kResponseMarker0 = 0x53;  // 'S'
constexpr uint8_t kResponseMarker1 = 0x3A;  // ':'
constexpr uint32_t kFrameHeaderSize = 6;
constexpr uint32_t kMaxPayload = 512;       // the receive loop's staging buffer
constexpr uint32_t kResponseWaitMs = 2000;  // every read of the receive loop
// Bytes a receive reads past (garbage, answers to other requests) before it
// gives up: a few whole answers' worth.
constexpr uint32_t kMaxStrayBytes = 4 * (kFrameHeaderSize + kMaxPayload);

// How the last receive ended.
enum class ReceiveOutcome : uint8_t {
    kAnswered,  // a whole answer to the request: m_status tells how it went
    kNoAnswer,  // nothing that began an answer came in time (or no port)
    kCutShort,  // an answer began, then stopped before its end
    kBadFrame,  // bytes came, but no answer the request could take: garbage,
                // a length beyond 512 or beyond the destination, other
                // requests' answers beyond kMaxStrayBytes
};

// Program to module; multi-byte numbers little-endian. `data` follows the
// header in the same write, or (for a name) in a second write.
struct CommandFrame {
    uint8_t marker[2];   // 55 3A
    uint8_t command;
    uint8_t handle;      // open file's handle, or the command's fixed 0xFF / 0x00
    uint8_t length[2];   // count of data bytes
    uint8_t data[1];     // `length` bytes
};

// Module to program.
struct ResponseFrame {
    uint8_t marker[2];   // 53 3A
    uint8_t command;     // the request's command, when it answers that request
    uint8_t status;      // 0 success, anything else failure
    uint8_t length[2];   // count of payload bytes
    uint8_t payload[1];  // `length` bytes
};

// Writes the six header bytes of a command frame.
void PutCommandHeader(uint8_t* out, uint8_t command, uint8_t handle, uint16_t length);

// The unsigned 32-bit little-endian number at p (p[0] lowest).
inline uint32_t GetU32Le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

class ResponseReceiver {
public:
    // Advances the parser by one received byte. Payload bytes go to
    // m_pDestination, never beyond m_destinationRoom of them.
    void FeedByte(uint8_t byte);

    // Reads the six header bytes, then exactly the announced payload, each
    // with SerialChannel::WaitAndRead and m_waitMs; bytes before a header
    // are read past, and so is a whole frame for another command than
    // m_expectedCommand (when set). True when a response has arrived whole:
    // m_status holds its status and m_received the payload bytes stored.
    // False otherwise, m_outcome telling why: nothing in time, a response
    // cut short, garbage only, or a length beyond kMaxPayload or beyond the
    // destination's room (the payload is then not read and nothing of it is
    // stored). Never reads past the end of the answer it takes.
    bool ReceiveResponse();

    // After the six header bytes have been fed: whether they made a header
    // whose payload (if any) the loop may read into the destination.
    bool HeaderAccepted() const;

    // Points the payload at a buffer of `room` bytes.
    void SetDestination(uint8_t* destination, uint32_t room) {
        m_pDestination = destination;
        m_destinationRoom = room;
    }

    uint8_t m_header[6] = {};          // header bytes of the response being parsed
    uint8_t m_status = 0;              // status of the last complete header
    uint16_t m_payloadLength = 0;      // length of the last complete header
    uint8_t* m_pDestination = nullptr; // owned by the command
    uint32_t m_received = 0;           // payload bytes stored for the current response
    uint8_t m_done = 0;                // 0x00 awaiting, 0xFF complete / idle
    uint8_t m_headerIndex = 0;         // next header position, 0..5
    uint8_t m_phase = 0;               // 0 header, 1 payload
    uint32_t m_destinationRoom = 0;    // bytes m_pDestination can take
    int m_expectedCommand = -1;        // the request's command byte, for the next receive only; -1: any
    uint32_t m_waitMs = kResponseWaitMs;  // each read's wait for its first byte
    ReceiveOutcome m_outcome = ReceiveOutcome::kNoAnswer;  // of the last receive
    uint32_t m_strayBytes = 0;         // read past in the last receive
};

extern ResponseReceiver theResponseReceiver;

#endif
