// Peak resident memory of tovrel-cli's get and put, each run as a child
// against the simulated module (unpaced, 115200 bit/s), from wait4's
// ru_maxrss: a 64 MiB file both ways, and a get whose open answer claims
// 4 GiB (the simulator's size fault) of a file that holds the 64 MiB.
//
//   build/bench/cli_memory_bench [MiB (64)]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/ModuleSimulator.h"

namespace fs = std::filesystem;

namespace {

// Runs the client with the arguments; its exit code and peak RSS in KiB.
bool RunClient(const std::vector<std::string>& args, int* code, long* maxRssKiB) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(TOVREL_CLI_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    *maxRssKiB = usage.ru_maxrss;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 64;
    const fs::path work = fs::temp_directory_path() / ("tovrel-memory-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "disk");
    {
        std::ofstream out(work / "big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (long i = 0; i < mib; ++i) {
            for (size_t j = 0; j < block.size(); ++j) block[j] = static_cast<char>(j * 131 + i);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    SimConfig config;
    config.rate = 115200;
    config.diskFolder = (work / "disk").string();
    ModuleSimulator simulator(config);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    setenv("TOVREL_COM1", simulator.SlavePath().c_str(), 1);
    setenv("TOVREL_PORTS", "", 1);
    setenv("TOVREL_LOCK_DIR", work.c_str(), 1);

    const std::string size = std::to_string(mib) + " MiB";
    struct Run {
        std::string what;
        std::vector<std::string> args;
        bool claim4GiB;
    } runs[] = {
        {"put of " + size, {"--baud", "115200", "put", (work / "big.bin").string(), "BIG.BIN"}, false},
        {"get of " + size, {"--baud", "115200", "get", "BIG.BIN", (work / "got.bin").string()}, false},
        {"get whose open claims 4 GiB (file holds " + size + ")",
         {"--baud", "115200", "get", "BIG.BIN", (work / "claim.bin").string()}, true},
    };
    int failures = 0;
    for (const Run& run : runs) {
        if (run.claim4GiB) simulator.ArmFault({SimFault::kClaimSize, 0xFFFFFFFF, {}, 1, false});
        int code = -1;
        long rss = 0;
        if (!RunClient(run.args, &code, &rss)) return 1;
        std::printf("%-60s exit %d, peak RSS %.1f MiB\n", run.what.c_str(), code, rss / 1024.0);
        if (code != (run.claim4GiB ? 7 : 0)) ++failures;
    }
    fs::remove_all(work);
    return failures == 0 ? 0 : 1;
}
