// Arbitrary bytes through the response receiver, as the receive loop feeds
// them: what the header still lacks until it is whole (stray bytes before
// it read past), then the announced payload if the header is accepted,
// exchange after exchange. The destination is a heap block of
// exactly its room (0 to 512, taken from the input), so AddressSanitizer
// sees any byte stored past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/ResponseReceiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t room = (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8) % (kMaxPayload + 1);
    data += 2;
    size -= 2;
    auto* destination = static_cast<uint8_t*>(std::malloc(room == 0 ? 1 : room));
    uint8_t* bounded = room == 0 ? nullptr : destination;

    ResponseReceiver receiver;
    size_t at = 0;
    for (;;) {
        receiver.SetDestination(bounded, room);
        receiver.m_done = 0;
        receiver.m_phase = 0;
        receiver.m_headerIndex = 0;
        // As the loop reads: what the header still lacks, stray bytes read past.
        while (receiver.m_done == 0 && receiver.m_phase == 0) {
            const size_t need = kFrameHeaderSize - receiver.m_headerIndex;
            if (need > size - at) break;
            for (size_t i = 0; i < need; ++i) receiver.FeedByte(data[at++]);
        }
        if (receiver.m_done == 0 && receiver.m_phase == 0) break;  // the input ended inside a header
        if (!receiver.HeaderAccepted()) continue;
        const size_t payload = receiver.m_payloadLength;
        if (payload > size - at) break;  // the answer stopped short
        for (size_t i = 0; i < payload; ++i) receiver.FeedByte(data[at++]);
        if (receiver.m_received != payload || receiver.m_done != 0xFF) std::abort();
    }
    // Bytes past the end arrive at a finished or idle receiver.
    receiver.m_done = 0xFF;
    for (; at < size; ++at) receiver.FeedByte(data[at]);

    // The parser's own bound, with no loop to refuse a length first: every
    // byte fed straight, re-armed whenever a response completes.
    ResponseReceiver raw;
    raw.SetDestination(bounded, room);
    for (size_t i = 0; i < size; ++i) {
        raw.FeedByte(data[i]);
        if (raw.m_done != 0) raw.m_done = 0;
    }
    std::free(destination);
    return 0;
}
