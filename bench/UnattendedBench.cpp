// Transfers nobody watches, as tovrel-cli runs them against the simulated
// module paced at its rate:
//   - a verified put and get of KiB at 115200 bit/s under random faults
//     (each request faulted with probability P, the simulator's random mode:
//     silent, late, garbled, cut short, refused, short, damaged), for P = 0,
//     0.01, 0.03 and 0.1, each over SEEDS seeds: the mean time relative to
//     P = 0, the retries made, and how many ended whole;
//   - a put of FAST KiB to a module at 9600 bit/s, at 9600 and with --fast.
//
//   build/bench/unattended_bench [KiB (128)] [SEEDS (3)] [FAST KiB (64)]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "sim/ModuleSimulator.h"

namespace fs = std::filesystem;

namespace {

struct Run {
    double seconds = 0;
    int code = -1;
    long retries = 0;
};

// The client with `args` against the simulator as COM1; its exit code, time
// and the retries its closing line names.
Run Client(const ModuleSimulator& sim, int baud, const std::string& args) {
    const std::string command = "TOVREL_COM1=" + sim.SlavePath() + " " + TOVREL_CLI_PATH + " --baud " +
                                std::to_string(baud) + " " + args + " 2>&1";
    Run run;
    const auto start = std::chrono::steady_clock::now();
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return run;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
    const int status = pclose(out);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::smatch m;
    static const std::regex kRetries("after ([0-9]+) retr");
    for (auto it = text.cbegin(); std::regex_search(it, text.cend(), m, kRetries); it = m.suffix().first)
        run.retries += std::stol(m[1]);
    if (run.code != 0) std::fprintf(stderr, "  %s: %s", args.c_str(), text.c_str());
    return run;
}

std::unique_ptr<ModuleSimulator> Module(const fs::path& disk, uint32_t rate, double p, uint64_t seed) {
    SimConfig config;
    config.rate = rate;
    config.pace = true;
    config.diskFolder = disk.string();
    config.random.probability = p;
    config.random.seed = seed;
    auto sim = std::make_unique<ModuleSimulator>(config);
    std::string error;
    if (!sim->Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return sim;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 3;
    const size_t fastKib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64;
    char folder[] = "/tmp/tovrel-unattended-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const fs::path work = folder, disk = work / "disk", in = work / "in.bin", out = work / "out.bin";
    fs::create_directories(disk);
    setenv("TOVREL_PORTS", "", 1);
    {
        std::vector<char> data(kib * 1024);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 509);
        std::ofstream(in, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
    }
    const std::string put = "put --verify " + in.string() + " FW.BIN", get = "get --verify FW.BIN " + out.string();

    std::printf("verified put and get of %zu KiB, paced at 115200 bit/s, %d seeds each\n", kib, seeds);
    std::printf("%6s %10s %10s %9s %9s %8s %6s\n", "P", "put s", "get s", "put x", "get x", "retries", "whole");
    double cleanPut = 0, cleanGet = 0;
    for (const double p : {0.0, 0.01, 0.03, 0.1}) {
        double putSeconds = 0, getSeconds = 0;
        long retries = 0;
        int whole = 0;
        for (int seed = 1; seed <= seeds; ++seed) {
            const auto sim = Module(disk, 115200, p, static_cast<uint64_t>(seed));
            const Run a = Client(*sim, 115200, put);
            const Run b = Client(*sim, 115200, get);
            putSeconds += a.seconds / seeds;
            getSeconds += b.seconds / seeds;
            retries += a.retries + b.retries;
            whole += (a.code == 0) + (b.code == 0);
        }
        if (p == 0) cleanPut = putSeconds, cleanGet = getSeconds;
        std::printf("%6.2f %10.1f %10.1f %9.2f %9.2f %8ld %3d/%d\n", p, putSeconds, getSeconds, putSeconds / cleanPut,
                    getSeconds / cleanGet, retries, whole, 2 * seeds);
    }

    {
        std::vector<char> data(fastKib * 1024, 'f');
        std::ofstream(in, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
    }
    const auto sim = Module(disk, 9600, 0, 1);
    const Run slow = Client(*sim, 9600, "put " + in.string() + " SLOW.BIN");
    const Run fast = Client(*sim, 9600, "put --fast " + in.string() + " FAST.BIN");
    std::printf("put of %zu KiB to a module at 9600 bit/s: %.1f s at 9600, %.1f s with --fast (%.3f of the time), "
                "exit %d and %d; the module after: %u bit/s\n",
                fastKib, slow.seconds, fast.seconds, fast.seconds / slow.seconds, slow.code, fast.code, sim->Rate());
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}
