// Wall and CPU time for tests that bound a wait or show it does not spin.
#ifndef TOVREL_TESTS_SUPPORT_TIMING_H
#define TOVREL_TESTS_SUPPORT_TIMING_H

#include <sys/resource.h>

#include <chrono>

using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// CPU time of the calling thread so far, in ms.
inline double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

#endif
