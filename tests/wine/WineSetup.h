// What the Windows tests find on the ports (put there on the Linux side by
// wine-ports before the tests start):
//   COM1 silent, COM2 a module at 19200, COM3 a module at 9600 whose disk
//   folder is $TOVREL_WINE_DISK (a Windows path), COM4 a loopback plug,
//   COM5 mapped to a device that is gone, COM6 a loopback answering 400 ms
//   late, COM7 a line that hangs up at the first bytes sent (an adapter
//   pulled) and is back 200 ms later.
#ifndef TOVREL_TESTS_WINE_WINESETUP_H
#define TOVREL_TESTS_WINE_WINESETUP_H

#include <chrono>
#include <cstdint>
#include <vector>

enum WinePort : int { kSilentPort = 1, kSearchedPort = 2, kDiskPort = 3, kLoopbackPort = 4, kAbsentPort = 5,
               kLateLoopbackPort = 6, kPulledPort = 7 };

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Bytes that are not all alike, so a shifted or dropped byte shows.
inline Bytes Pattern(size_t n, uint32_t seed = 0x12345678u) {
    Bytes out(n);
    uint32_t x = seed ^ static_cast<uint32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

#endif
