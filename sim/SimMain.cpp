// tovrel-sim: a simulated module on a pseudo-terminal, for running and
// testing the program without the hardware.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ModuleSimulator.h"
#include "serial/StandardDescriptors.h"

namespace {

const char kUsage[] =
    "usage: tovrel-sim [options]\n"
    "Plays the USB host module on a pseudo-terminal and prints the terminal's path;\n"
    "point TOVREL_COM1 at it (or at --link) and the program finds the module on COM1.\n"
    "  --disk DIR      the flash disk is this folder (default: a new temporary folder)\n"
    "  --no-disk       no flash disk attached\n"
    "  --rate N        the module's rate at start, bit/s: 4800 9600 (default) 14400 19200\n"
    "                  38400 56000 57600 115200\n"
    "  --pace          move bytes at the line's real speed\n"
    "  --link PATH     make PATH a symbolic link to the terminal (PATH missing or a link)\n"
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

// A decimal number from least to most: digits only, no sign, no blanks,
// no 0x or octal (as strtoul's base 0 would take).
bool ParseDecimal(const std::string& text, uint64_t least, uint64_t most, uint64_t* out) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (value < least || value > most) return false;
    *out = value;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A probability in decimal, 0 to 1 ("0.02", "1e-3"; not hex, inf or nan).
bool ParseProbability(const char* text, double* out) {
    if (std::strspn(text, "0123456789.eE+-") != std::strlen(text) || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.'))
        return false;
    char* end = nullptr;
    const double p = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(p >= 0 && p <= 1)) return false;
    *out = p;
    return true;
}

bool ParseRate(const std::string& text, uint32_t* rate) {
    uint64_t number = 0;
    if (!ParseDecimal(text, 0, UINT32_MAX, &number) || !IsModuleRate(static_cast<uint32_t>(number))) return false;
    *rate = static_cast<uint32_t>(number);
    return true;
}

bool ParseFault(std::string spec, SimFault* fault) {
    if (!spec.empty() && spec.back() == '+') {
        fault->repeat = true;
        spec.pop_back();
    }
    const size_t at = spec.find('@');
    if (at != std::string::npos) {
        uint64_t nth = 0;
        if (!ParseDecimal(spec.substr(at + 1), 1, UINT32_MAX, &nth)) return false;
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
        uint32_t least, most;  // the value's range
    };
    static const Kind kinds[] = {
        {"silent", SimFault::kSilent, kNoValue, 0, 0},
        {"delay", SimFault::kDelay, kValue, 0, 0xFFFF},
        {"garbage", SimFault::kGarbageFirst, kValue, 0, 0},
        {"wrong-marker", SimFault::kWrongMarker, kNoValue, 0, 0},
        {"truncate", SimFault::kTruncatePayload, kValue, 0, 0xFFFF},
        {"oversize", SimFault::kOversizeLength, kValue, 513, 0xFFFF},  // more than a payload may hold
        {"status", SimFault::kStatus, kValue, 1, 0xFF},                // a failure, in one byte
        {"short-write", SimFault::kShortWrite, kValue, 0, 0xFFFF},
        {"hangup", SimFault::kHangUp, kNoValue, 0, 0},
        {"short-read", SimFault::kShortRead, kValue, 0, 0xFFFF},
        {"size", SimFault::kClaimSize, kValue, 0, UINT32_MAX},
        {"corrupt", SimFault::kCorrupt, kMayHaveValue, 0, 0xFFFF},
    };
    for (const Kind& k : kinds) {
        if (spec != k.name) continue;
        if (given ? k.value == kNoValue || value.empty() : k.value == kValue) return false;
        fault->kind = k.kind;
        if (k.kind == SimFault::kGarbageFirst) {
            if (value.size() % 2 != 0) return false;
            for (size_t i = 0; i < value.size(); i += 2) {
                const int high = HexDigit(value[i]), low = HexDigit(value[i + 1]);
                if (high < 0 || low < 0) return false;
                fault->bytes.push_back(static_cast<uint8_t>(high << 4 | low));
            }
        } else if (!value.empty()) {
            uint64_t number = 0;
            if (!ParseDecimal(value, k.least, k.most, &number)) return false;
            fault->value = static_cast<uint32_t>(number);
        }
        return true;
    }
    return false;
}

// The trace's reader went away (tovrel-sim --trace | head): end as on
// SIGTERM, which main waits for, so that the link and a temporary disk
// go too. Later writes to the trace fail quietly.
void EndOnBrokenTrace(int) {
    const int savedErrno = errno;
    kill(getpid(), SIGTERM);
    errno = savedErrno;
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
        uint64_t number = 0;
        if (arg == "--disk" && hasNext) {
            config.diskFolder = argv[++i];
        } else if (arg == "--no-disk") {
            config.diskPresent = false;
        } else if (arg == "--rate" && hasNext) {
            if (!ParseRate(argv[++i], &config.rate)) {
                std::fprintf(stderr, "tovrel-sim: --rate takes one of 4800 9600 14400 19200 38400 56000 57600 115200\n%s",
                             kUsage);
                return 2;
            }
        } else if (arg == "--pace") {
            config.pace = true;
        } else if (arg == "--link" && hasNext) {
            link = argv[++i];
        } else if (arg == "--trace") {
            config.trace = stdout;
        } else if (arg == "--fault" && hasNext && std::strncmp(argv[i + 1], "random=", 7) == 0) {
            if (!ParseProbability(argv[++i] + 7, &config.random.probability)) {
                std::fprintf(stderr, "tovrel-sim: random=P takes a probability from 0 to 1\n%s", kUsage);
                return 2;
            }
        } else if (arg == "--seed" && hasNext) {
            if (!ParseDecimal(argv[++i], 0, UINT64_MAX, &number)) {
                std::fprintf(stderr, "tovrel-sim: --seed takes a decimal number from 0 to %llu\n%s",
                             static_cast<unsigned long long>(UINT64_MAX), kUsage);
                return 2;
            }
            config.random.seed = number;
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
    struct sigaction brokenTrace {};
    brokenTrace.sa_handler = EndOnBrokenTrace;
    sigemptyset(&brokenTrace.sa_mask);
    sigaction(SIGPIPE, &brokenTrace, nullptr);

    ModuleSimulator simulator(config);
    for (const SimFault& fault : faults) simulator.ArmFault(fault);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "tovrel-sim: %s\n", error.c_str());
        return 1;
    }
    if (!link.empty()) {
        const LinkPlaced placed = simulator.LinkTerminal(link, &error);
        if (placed != LinkPlaced::kPlaced) {
            std::fprintf(stderr, "tovrel-sim: %s\n", error.c_str());
            return placed == LinkPlaced::kRefused ? 2 : 1;
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
    return 0;  // the simulator goes, and the link with it if it still names the terminal
}
