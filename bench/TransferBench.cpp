// DiskWrite and DiskRead against the simulated module.
//   unpaced: the software's own cost, µs a 512-byte exchange (and the CPU
//            time of this process's thread per exchange);
//   paced:   the module moves bytes at 115200 bit/s, so the figure is the
//            payload throughput as a share of the line's 11,520 bytes/s.
//
//   build/bench/transfer_bench [unpaced KiB (1024)] [paced KiB (128)]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "protocol/DiskCommands.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"

namespace {

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

struct Figures {
    double writeSeconds = 0, readSeconds = 0, writeCpuMs = 0, readCpuMs = 0;
    bool ok = false;
};

Figures Measure(bool pace, uint32_t bytes) {
    Figures f;
    SimConfig config;
    config.rate = 115200;
    config.pace = pace;
    ModuleSimulator simulator(config);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return f;
    }
    setenv("TOVREL_COM1", simulator.SlavePath().c_str(), 1);
    if (!ReopenSerialChannel(1, 115200)) return f;
    DiskProtocolReset();
    DiskFileHandle* file = DiskOpenFile("BENCH.BIN");
    if (file == nullptr) return f;

    std::vector<uint8_t> data(bytes), back(bytes);
    for (uint32_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);

    auto start = std::chrono::steady_clock::now();
    double cpu = CpuMs();
    const uint32_t written = DiskWrite(data.data(), bytes, file);
    f.writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.writeCpuMs = CpuMs() - cpu;

    DiskSeek(file, 0, 0);
    start = std::chrono::steady_clock::now();
    cpu = CpuMs();
    const uint32_t read = DiskRead(back.data(), bytes, file);
    f.readSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.readCpuMs = CpuMs() - cpu;
    DiskCloseFile();
    theSerialChannel.Close(true);
    f.ok = written == bytes && read == bytes && back == data;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t unpacedBytes = (argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1024u) * 1024u;
    const uint32_t pacedBytes = (argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 128u) * 1024u;

    const double exchanges = (unpacedBytes + 511) / 512;
    const Figures fast = unpacedBytes == 0 ? Figures() : Measure(false, unpacedBytes);
    if (unpacedBytes != 0 && !fast.ok) return 1;
    if (unpacedBytes != 0)
        std::printf("unpaced %u KiB: write %.1f us/exchange (%.1f us CPU), read %.1f us/exchange (%.1f us CPU)\n",
                unpacedBytes / 1024, fast.writeSeconds * 1e6 / exchanges, fast.writeCpuMs * 1e3 / exchanges,
                fast.readSeconds * 1e6 / exchanges, fast.readCpuMs * 1e3 / exchanges);

    if (pacedBytes == 0) return 0;
    const Figures paced = Measure(true, pacedBytes);
    if (!paced.ok) return 1;
    const double writeRate = pacedBytes / paced.writeSeconds, readRate = pacedBytes / paced.readSeconds;
    std::printf("paced 115200 bit/s, %u KiB: write %.0f B/s (%.1f%% of the line), read %.0f B/s (%.1f%%)\n",
                pacedBytes / 1024, writeRate, 100.0 * writeRate / kLineBytesPerSecond, readRate,
                100.0 * readRate / kLineBytesPerSecond);
    return 0;
}
