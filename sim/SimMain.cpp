// tovrel-sim: a simulated module on a pseudo-terminal, for running and
// testing the program without the hardware.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ModuleSimulator.h"
#include "serial/StandardDescriptors.h"

namespace {

const char kUsage[] =
    "usage: tovrel-sim [options]\n"
    "Plays the USB host module on a pseudo-terminal and prints the terminal's path;\n"
    "point TOVREL_COM1 at it (or at --link) and the program finds the module on COM1.\n"
    "  --disk DIR      the flash disk is this folder (default: a new temporary folder)\n"
    "  --no-disk       no flash disk attached\n"
    "  --rate N        the module's rate at start, bit/s (default 9600)\n"
    "  --pace          move bytes at the line's real speed\n"
    "  --link PATH     make PATH a symbolic link to the terminal\n"
    "  --trace         print every frame in hex: '>' program to module, '<' module to program\n"
    "  --fault SPEC    inject a fault: KIND[=VALUE][@N][+] for the N-th request from\n"
    "                  now (default 1), '+' for every request from then on. KIND is\n"
    "                  silent, delay=MS, garbage=HEXBYTES, wrong-marker, truncate=N,\n"
    "                  oversize=N, status=S, short-write=N (N-th write chunk), hangup,\n"
    "                  short-read=N (N-th read chunk answers at most N bytes),\n"
    "                  size=N (N-th open claims the file holds N bytes, up to 4294967295),\n"
    "                  corrupt[=I] (flips bit 0 of byte I, default 0, of a write chunk's data\n"
    "                  as stored or a read chunk's payload as answered; nothing else shows it),\n"
    "                  or random=P: each request faulted with probability P (0 to 1) by a\n"
    "                  kind drawn at random (all above but hangup and size; delays up to\n"
    "                  1500 ms), the same faults for the same --seed and requests\n"
    "  --seed N        the random faults' seed (default 1)\n"
    "Names that arrive with a NUL byte are refused (status 4), never cut short.\n";

bool ParseNumber(const std::string& text, unsigned long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *out = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

bool ParseFault(std::string spec, SimFault* fault) {
    if (!spec.empty() && spec.back() == '+') {
        fault->repeat = true;
        spec.pop_back();
    }
    const size_t at = spec.find('@');
    if (at != std::string::npos) {
        unsigned long nth = 0;
        if (!ParseNumber(spec.substr(at + 1), &nth) || nth == 0 || nth > UINT32_MAX) return false;
        fault->nth = static_cast<uint32_t>(nth);
        spec.resize(at);
    }
    std::string value;
    const size_t eq = spec.find('=');
    const bool given = eq != std::string::npos;
    if (given) {
        value = spec.substr(eq + 1);
        spec.resize(eq);
    }
    enum Value { kNoValue, kValue, kMayHaveValue };
    struct Kind {
        const char* name;
        SimFault::Kind kind;
        Value value;
    };
    static const Kind kinds[] = {
        {"silent", SimFault::kSilent, kNoValue},          {"delay", SimFault::kDelay, kValue},
        {"garbage", SimFault::kGarbageFirst, kValue},    {"wrong-marker", SimFault::kWrongMarker, kNoValue},
        {"truncate", SimFault::kTruncatePayload, kValue}, {"oversize", SimFault::kOversizeLength, kValue},
        {"status", SimFault::kStatus, kValue},           {"short-write", SimFault::kShortWrite, kValue},
        {"hangup", SimFault::kHangUp, kNoValue},          {"short-read", SimFault::kShortRead, kValue},
        {"size", SimFault::kClaimSize, kValue},          {"corrupt", SimFault::kCorrupt, kMayHaveValue},
    };
    for (const Kind& k : kinds) {
        if (spec != k.name) continue;
        if (given ? k.value == kNoValue || value.empty() : k.value == kValue) return false;
        fault->kind = k.kind;
        if (k.kind == SimFault::kGarbageFirst) {
            if (value.size() % 2 != 0) return false;
            for (size_t i = 0; i < value.size(); i += 2) {
                unsigned long byte = 0;
                if (!ParseNumber("0x" + value.substr(i, 2), &byte)) return false;
                fault->bytes.push_back(static_cast<uint8_t>(byte));
            }
        } else if (!value.empty()) {
            unsigned long number = 0;
            const unsigned long most = k.kind == SimFault::kClaimSize ? UINT32_MAX : 0xFFFF;
            if (!ParseNumber(value, &number) || number > most) return false;
            fault->value = static_cast<uint32_t>(number);
        }
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    FillClosedStandardDescriptors();  // the terminal is never standard output
    SimConfig config;
    std::string link;
    std::vector<SimFault> faults;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        unsigned long number = 0;
        if (arg == "--disk" && hasNext) {
            config.diskFolder = argv[++i];
        } else if (arg == "--no-disk") {
            config.diskPresent = false;
        } else if (arg == "--rate" && hasNext && ParseNumber(argv[i + 1], &number)) {
            config.rate = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--pace") {
            config.pace = true;
        } else if (arg == "--link" && hasNext) {
            link = argv[++i];
        } else if (arg == "--trace") {
            config.trace = stdout;
        } else if (arg == "--fault" && hasNext && std::strncmp(argv[i + 1], "random=", 7) == 0) {
            char* end = nullptr;
            const double p = std::strtod(argv[++i] + 7, &end);
            if (end == argv[i] + 7 || *end != '\0' || !(p >= 0 && p <= 1)) {
                std::fprintf(stderr, "tovrel-sim: random=P takes a probability from 0 to 1\n%s", kUsage);
                return 2;
            }
            config.random.probability = p;
        } else if (arg == "--seed" && hasNext && ParseNumber(argv[i + 1], &number)) {
            config.random.seed = number;
            ++i;
        } else if (arg == "--fault" && hasNext) {
            SimFault fault;
            if (!ParseFault(argv[++i], &fault)) {
                std::fprintf(stderr, "tovrel-sim: bad fault '%s'\n%s", argv[i], kUsage);
                return 2;
            }
            faults.push_back(fault);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tovrel-sim: bad argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    // Signals are taken by sigwait below, not by the serving thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ModuleSimulator simulator(config);
    for (const SimFault& fault : faults) simulator.ArmFault(fault);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "tovrel-sim: %s\n", error.c_str());
        return 1;
    }
    if (!link.empty()) {
        unlink(link.c_str());  // a link left by an earlier run
        if (symlink(simulator.SlavePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "tovrel-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("module on %s at %u bit/s, disk %s%s\n", simulator.SlavePath().c_str(), config.rate,
                config.diskPresent ? simulator.DiskFolder().c_str() : "(none)",
                config.diskFolder.empty() && config.diskPresent ? " (removed at exit)" : "");
    if (config.random.probability > 0)
        std::printf("random faults: probability %g a request, seed %llu\n", config.random.probability,
                    static_cast<unsigned long long>(config.random.seed));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();
    if (!link.empty()) unlink(link.c_str());
    return 0;
}
