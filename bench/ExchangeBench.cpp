// One whole exchange over a pseudo-terminal against a peer that answers at
// once: send the 6-byte status request, receive the 6-byte header and the
// 14-byte payload. Prints median and 99th percentile; then the CPU time of a
// receive wait that waits 2,000 ms for nothing.
//
//   build/bench/exchange_bench [exchanges]
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"

namespace {

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Answers every 6-byte request with a status answer, as fast as it can.
void Answer(int master, std::atomic<bool>* stop) {
    const uint8_t answer[20] = {0x53, 0x3A, 0x00, 0x00, 0x0E, 0x00, 7, 26, 12, 7, 10, 30, 0, 1, 0xFF, 0, 0, 0, 0, 0};
    uint8_t request[6];
    size_t have = 0;
    while (!stop->load()) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(master, request + have, sizeof request - have);
        if (n <= 0) return;
        have += static_cast<size_t>(n);
        if (have == sizeof request) {
            have = 0;
            if (write(master, answer, sizeof answer) != sizeof answer) return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 20000;
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    setenv("TOVREL_COM1", name, 1);
    theSerialChannel.SelectPort(1);
    theSerialChannel.SelectBaudRate(115200);
    if (theSerialChannel.Open(8, 0, 0) != kSerialOk) return 1;

    std::atomic<bool> stop{false};
    std::thread peer(Answer, master, &stop);

    const uint8_t request[6] = {0x55, 0x3A, 0x00, 0x00, 0x00, 0x00};
    uint8_t payload[16];
    std::vector<double> us;
    us.reserve(static_cast<size_t>(exchanges));
    int failures = 0;
    for (int i = 0; i < exchanges + 200; ++i) {
        const auto start = std::chrono::steady_clock::now();
        theSerialChannel.Send(request, sizeof request);
        theResponseReceiver.SetDestination(payload, sizeof payload);
        const bool ok = theResponseReceiver.ReceiveResponse() && theResponseReceiver.m_received == 14;
        const auto end = std::chrono::steady_clock::now();
        if (!ok) ++failures;
        if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());  // after warm-up
    }
    stop = true;
    peer.join();
    std::sort(us.begin(), us.end());
    std::printf("exchange (6 out, 6 + 14 back) over a pseudo-terminal, %d exchanges, %d failed\n", exchanges, failures);
    std::printf("  median %.1f us, p99 %.1f us, max %.1f us\n", us[us.size() / 2], us[us.size() * 99 / 100], us.back());

    const double cpu = CpuMs();
    const auto start = std::chrono::steady_clock::now();
    uint8_t header[6];
    const int code = theSerialChannel.WaitAndRead(header, 6, 2000);
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("WaitAndRead of nothing: code %d after %.0f ms wall, %.3f ms CPU\n", code, wall, CpuMs() - cpu);
    theSerialChannel.Close(true);
    close(master);
    close(slave);
    return failures == 0 ? 0 : 1;
}
