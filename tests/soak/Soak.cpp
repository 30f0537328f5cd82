// soak: random operations through the client's own code against the
// simulated module with random faults, each checked against a model of the
// disk, the module's state and the PC files.
//
// The client runs in this process as tovrel-cli runs a command: RunCommand
// on a Session whose port is opened as main() opens it. The simulator
// serves a pseudo-terminal from its own thread; its disk is a temporary
// folder, read directly for the checks. After every operation:
//   - no fault hit it: the exit code, the disk, the module's directory,
//     open file and pointer, the client's open file and the PC files are
//     exactly what the model says;
//   - a fault hit it: a success must still be exact; a failure gives exit
//     3, 4 or 7 (or what the model says), leaves the PC files as they were,
//     a disk file written in part holds what was there with a prefix of
//     what was sent written over it, at least as long as reported; the
//     model then adopts what is real;
//   - it ended within its bound: each fault costs at most one 2 s wait
//     plus its delay, an exchange otherwise little.
// A divergence prints the seed, the operation's index and the operation;
// the command printed with it replays the run up to there.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/Cli.h"
#include "cli/Terminal.h"
#include "protocol/DiskCommands.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"
#include "tests/soak/SoakModel.h"
#include "text/Cp936.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace soak;

namespace {

constexpr long kFaultCostMs = 2400;     // one wait of 2 s that runs out, the line brought back in step
// --fast under a fault may look for the module at every rate on its port.
constexpr long kSearchCostMs = 8 * kFaultCostMs;
constexpr long kExchangeCostMs = 50;    // an exchange on an unpaced pseudo-terminal, generously
constexpr long kOperationSlackMs = 1500;

Bytes ReadHostFile(const fs::path& path) {
    std::error_code ec;
    Bytes bytes(static_cast<size_t>(fs::file_size(path, ec)));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// What is real: the disk's folder, the module's and the client's state, the PC folder.
World Observe(const ModuleSimulator& sim, const Session& s, const fs::path& pcFolder) {
    World w;
    const fs::path root = sim.DiskFolder();
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().u8string().substr(root.u8string().size() + 1);
        if (entry.is_directory())
            w.dirs.insert(path);
        else
            w.files[path] = ReadHostFile(entry.path());
    }
    const SimModuleState m = sim.ModuleState();
    w.cwd = Join(m.currentDir);
    w.clientDirKnown = s.moduleDirKnown;
    w.clientDir = s.moduleDirKnown ? Join(s.moduleDir) : "";
    w.open = m.fileOpen;
    w.openPath = Join(m.openFile);
    w.handle = m.handle;
    w.pos = m.position;
    w.clientOpen = s.file != nullptr;
    w.clientHandle = s.file != nullptr ? s.file->handle : 0xFF;
    w.clientSize = s.file != nullptr ? s.file->size : 0;
    w.rate = sim.Rate();
    w.clock = m.clockOffset;
    for (const auto& entry : fs::directory_iterator(pcFolder)) w.pc[entry.path().filename().u8string()] = ReadHostFile(entry.path());
    return w;
}

// The first count reported in "N of M bytes written"; 0 if none.
uint64_t ReportedWritten(const std::string& message) {
    static const std::regex kWritten("([0-9]+) of [0-9]+ bytes written");
    std::smatch m;
    return std::regex_search(message, m, kWritten) ? std::stoull(m[1]) : 0;
}

// A disk file after a write cut short: `old` with a prefix of `sent`, at
// least `reported` long, written at `pos`.
bool WrittenInPart(const Bytes& old, uint32_t pos, const Bytes& sent, uint64_t reported, const Bytes& now) {
    size_t same = 0;
    while (same < sent.size() && pos + same < now.size() && now[pos + same] == sent[same]) ++same;
    if (same < reported) return false;
    // Bytes of `old` that happen to equal `sent` after the written part change nothing.
    for (size_t n = same + 1; n-- > 0;) {
        Bytes expect = old;
        WriteAt(&expect, pos, sent.data(), n);
        if (expect == now) return true;
        if (n <= reported) break;
        if (now.size() > std::max<size_t>(old.size(), pos)) return false;  // the size tells n: tried
    }
    return false;
}

struct Options {
    uint64_t seed = 0;
    uint64_t ops = 0;        // 0: until --seconds
    double seconds = 0;      // 0: until --ops
    double probability = 0.02;
    uint32_t maxDelayMs = 5000;  // 2.5 times the 2 s wait: answers that come too late
    bool keepGoing = false;
    bool verbose = false;
};

const char kSoakUsage[] =
    "usage: soak [--seed S] [--ops N] [--seconds T] [--p P] [--max-delay MS] [--keep-going] [--verbose]\n"
    "Random operations through tovrel-cli's code against the simulator with random faults\n"
    "(each request faulted with probability P, default 0.02; delays up to MS, default 5000,\n"
    "past the client's waits),\n"
    "checked against a model after each. N operations (default 1000 without --seconds), or\n"
    "for T seconds. A divergence ends the run (--keep-going: counts it and adopts what is real)\n"
    "and prints the command that replays it. Exit status 0 with no divergence, 1 with some.\n";

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        char* end = nullptr;
        if (a == "--keep-going") {
            o->keepGoing = true;
            continue;
        }
        if (a == "--verbose") {
            o->verbose = true;
            continue;
        }
        if (value == nullptr) return false;
        ++i;
        if (a == "--seed") o->seed = std::strtoull(value, &end, 10);
        else if (a == "--ops") o->ops = std::strtoull(value, &end, 10);
        else if (a == "--seconds") o->seconds = std::strtod(value, &end);
        else if (a == "--p") o->probability = std::strtod(value, &end);
        else if (a == "--max-delay") o->maxDelayMs = static_cast<uint32_t>(std::strtoul(value, &end, 10));
        else return false;
        if (end == value || *end != '\0') return false;
    }
    return o->probability >= 0 && o->probability <= 1 && o->maxDelayMs <= 5000;
}

class Soak {
public:
    Soak(const Options& o, const fs::path& root) : m_o(o), m_pc(root / "pc") {
        fs::create_directories(root / "disk");
        fs::create_directories(m_pc);
        fs::create_directories(root / "locks");
        setenv("TOVREL_LOCK_DIR", (root / "locks").c_str(), 1);
        setenv("TOVREL_PORTS", "", 1);
        SimConfig config;
        config.rate = kRate;
        config.diskFolder = (root / "disk").string();
        config.random.probability = o.probability;
        config.random.seed = o.seed ^ 0x5EED5EED5EED5EEDULL;
        config.random.maxDelayMs = o.maxDelayMs;
        m_sim = std::make_unique<ModuleSimulator>(config);
        m_random.state = o.seed;
    }

    // 0: no divergence; 1: some; 2: could not start.
    int Run() {
        std::string error;
        if (!m_sim->Start(&error)) return Refuse("simulator: " + error);
        setenv("TOVREL_COM1", m_sim->SlavePath().c_str(), 1);
        m_session.baud = static_cast<int>(kRate);
        m_session.out = &m_out;
        m_session.err = &m_err;
        DiskProtocolReset();
        const Result opened = OpenPort(m_session);
        if (!opened.ok()) return Refuse(opened.message);
        if (getenv("SOAKTRACE")) InstallFrameTrace(&std::cerr);
        m_model = Observe(*m_sim, m_session, m_pc);
        const Clock::time_point start = Clock::now();
        uint64_t i = 0;
        for (; m_o.ops == 0 || i < m_o.ops; ++i) {
            if (m_o.seconds > 0 && std::chrono::duration<double>(Clock::now() - start).count() >= m_o.seconds) break;
            if (!Step(i) && !m_o.keepGoing) break;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("soak: seed %llu, p %g: %llu operations in %.1f s (%.0f a second), %llu exchanges, %llu faulted",
                    static_cast<unsigned long long>(m_o.seed), m_o.probability, static_cast<unsigned long long>(i), elapsed,
                    static_cast<double>(i) / std::max(elapsed, 1e-3), static_cast<unsigned long long>(m_sim->RequestCount()),
                    static_cast<unsigned long long>(m_faults));
        const char* separator = " (";
        for (const auto& [kind, count] : m_faultsByKind) {
            std::printf("%s%s %llu", separator, kind.c_str(), static_cast<unsigned long long>(count));
            separator = ", ";
        }
        std::printf("%s; %llu failed as documented, %llu divergences\n", m_faults != 0 ? ")" : "",
                    static_cast<unsigned long long>(m_failures), static_cast<unsigned long long>(m_divergences));
        theSerialChannel.Close(true);
        m_sim.reset();
        return m_divergences == 0 ? 0 : 1;
    }

private:
    int Refuse(const std::string& why) {
        std::fprintf(stderr, "soak: %s\n", why.c_str());
        return 2;
    }

    // A client sends a request and is killed before its answer: the port is
    // opened again, as by the next client, and the answer (now or late)
    // must not be taken for another request's. Neither request changes
    // anything on the module.
    Result Leftover(const std::string& kind) {
        uint8_t frame[7];
        PutCommandHeader(frame, kind == "status" ? 0x00 : 0x52, 0x00, kind == "status" ? 0 : 1);
        frame[6] = '.';
        theSerialChannel.Send(frame, kFrameHeaderSize);
        if (kind != "status") theSerialChannel.Send(frame + kFrameHeaderSize, 1);
        return OpenPort(m_session);
    }

    void PcMake(const Operation& op) {
        std::ofstream(m_pc / op.args[0], std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(op.data.data()), static_cast<std::streamsize>(op.data.size()));
    }

    // One operation, run and checked. False on a divergence.
    bool Step(uint64_t index) {
        Operation op = Draw(m_random, m_model);
        if (op.command == "pc-make" || op.command == "pc-remove") {
            if (m_o.verbose)
                std::printf("#%llu %s (%zu bytes)\n", static_cast<unsigned long long>(index), op.Text().c_str(), op.data.size());
            if (op.command == "pc-make") PcMake(op);
            else fs::remove(m_pc / op.args[0]);
            m_model.pc.erase(op.args[0]);
            if (op.command == "pc-make") m_model.pc[op.args[0]] = op.data;
            return true;
        }
        if (op.command == "write") op.data = WriteBytes(op.args);
        const Expected e = Predict(m_model, op);
        m_out.str("");
        m_err.str("");
        const uint64_t requestsBefore = m_sim->RequestCount();
        const Clock::time_point start = Clock::now();
        const Result r = op.command == "leftover" ? Leftover(op.args[0]) : RunCommand(m_session, op.command, op.args);
        const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        const uint64_t exchanges = m_sim->RequestCount() - requestsBefore;
        const std::vector<SimInjectedFault> faults = m_sim->TakeInjectedFaults();
        // A late answer of the operation before may hold this one's first
        // exchange back until it has come.
        long allowedMs = kOperationSlackMs + kExchangeCostMs * static_cast<long>(exchanges) +
                         (Fast(op) && !faults.empty() ? kSearchCostMs : 0) + m_lateMs;
        // So may it fail: the line is not back in step until that answer is
        // past (nothing is sent meanwhile), and --fast may then search.
        const bool late = m_lateMs > 0;
        if (late && Fast(op)) allowedMs += kSearchCostMs;
        // An operation that sent nothing leaves the late answer to the next.
        if (exchanges != 0) m_lateMs = 0;
        std::string faultText;
        for (const SimInjectedFault& f : faults) {
            const long delay = f.fault.kind == SimFault::kDelay ? static_cast<long>(f.fault.value) : 0;
            allowedMs += kFaultCostMs + delay;
            m_lateMs += delay;
            faultText += std::string(faultText.empty() ? "" : ", ") + SimFaultKindName(f.fault.kind) + " on 0x" +
                         "0123456789ABCDEF"[f.command >> 4] + "0123456789ABCDEF"[f.command & 0xF];
            ++m_faultsByKind[SimFaultKindName(f.fault.kind)];
        }
        m_faults += faults.size();
        if (!r.ok() && !faults.empty()) ++m_failures;
        const World real = Observe(*m_sim, m_session, m_pc);
        if (m_o.verbose)
            std::printf("#%llu %s -> %d in %ld ms%s%s\n", static_cast<unsigned long long>(index), op.Text().c_str(), r.code,
                        ms, faults.empty() ? "" : "; faults: ", faultText.c_str());

        bool corrupted = false;
        for (const SimInjectedFault& f : faults) corrupted = corrupted || f.fault.kind == SimFault::kCorrupt;
        std::string wrong = Check(op, e, r, real, !faults.empty() || late, corrupted);
        if (wrong.empty() && ms > allowedMs)
            wrong = "took " + std::to_string(ms) + " ms, more than the " + std::to_string(allowedMs) + " ms allowed";
        // The rate the module answers at is what the user would name next.
        if (real.rate != static_cast<uint32_t>(m_session.baud)) {
            m_session.baud = static_cast<int>(real.rate);
            const Result reopened = OpenPort(m_session);
            if (!reopened.ok()) wrong += "; reopening at the module's rate: " + reopened.message;
        }
        m_model = real;
        if (wrong.empty()) return true;
        ++m_divergences;
        std::printf("soak: DIVERGENCE at operation %llu (seed %llu): %s\n  exit %d%s%s%s%s\n  %s\n"
                    "  replay: soak --seed %llu --p %g --max-delay %u --ops %llu --verbose\n",
                    static_cast<unsigned long long>(index), static_cast<unsigned long long>(m_o.seed), op.Text().c_str(),
                    r.code, r.message.empty() ? "" : ": ", r.message.c_str(), faults.empty() ? "" : "; faults: ",
                    faultText.c_str(), wrong.c_str(), static_cast<unsigned long long>(m_o.seed), m_o.probability,
                    m_o.maxDelayMs, static_cast<unsigned long long>(index + 1));
        std::fflush(stdout);
        return false;
    }

    // What is wrong with the outcome; empty: nothing.
    std::string Check(const Operation& op, const Expected& e, const Result& r, const World& real, bool faulted,
                      bool corrupted) {
        const World& before = m_model;
        // --fast leaves the module at its own rate and clock, or says it could not.
        const bool leftAway = r.message.find("could not be put back") != std::string::npos ||
                              m_err.str().find("could not be put back") != std::string::npos;
        if (Fast(op) && !leftAway && real.rate != before.rate)
            return "--fast left the module at " + std::to_string(real.rate) + " bit/s, not " + std::to_string(before.rate);
        if (Fast(op) && !leftAway && std::llabs(real.clock - before.clock) > 3)
            return "--fast moved the module's clock by " + std::to_string(real.clock - before.clock) + " s";
        // Whatever happened, the client never takes the module to be in
        // another directory than it is: get --resume names files by it.
        if (real.clientDirKnown && real.clientDir != real.cwd)
            return "the client takes the module's directory for '" + real.clientDir + "', but it is '" + real.cwd + "'";
        // Damage nothing on the line shows: only --verify can tell.
        const bool blind = corrupted && !e.verify;
        if (r.ok() || !faulted) {
            if (r.code != e.code) return "exit " + std::to_string(r.code) + ", the model says " + std::to_string(e.code);
            if (blind ? !SameShape(real, e.after) : real.Disk() != e.after.Disk())
                return "the disk differs from the model" + DiskDifference(e.after, real);
            if (!blind && real.pc != e.after.pc) return "the PC files differ from the model";
            // The client keeps the handle the module gave; the model takes it from there.
            World expect = e.after;
            if (op.command == "open" && r.ok()) expect.handle = expect.clientHandle = real.handle;
            // A get saved whole whose close failed says so: the module may keep the file open.
            if (op.command == "get" && r.ok() && m_err.str().find("is saved whole, but closing") != std::string::npos)
                std::tie(expect.open, expect.openPath, expect.handle, expect.pos) =
                    std::tie(real.open, real.openPath, real.handle, real.pos);
            if (real.Module() != expect.Module())
                return "the module or client state differs: module dir '" + real.cwd + "' open " +
                       std::to_string(real.open) + " '" + real.openPath + "' at " + std::to_string(real.pos) +
                       ", client open " + std::to_string(real.clientOpen) + "; the model: dir '" + expect.cwd +
                       "' open " + std::to_string(expect.open) + " '" + expect.openPath + "' at " +
                       std::to_string(expect.pos) + ", client open " + std::to_string(expect.clientOpen);
            if (op.command == "read" && r.ok() && !blind && m_out.str() != ReadOutput(e.read))
                return "read showed other bytes than the file holds";
            if (op.command == "info" && r.ok()) {
                const std::string file = before.open ? "file: open, handle " + std::to_string(before.handle) + ", " +
                                                           std::to_string(before.files.at(before.openPath).size()) + " bytes\n"
                                                     : "file: none\n";
                if (m_out.str().find(file) == std::string::npos) return "info did not show " + file;
            }
            return "";
        }
        // A failure under a fault: a documented code, nothing half-done.
        // --verify tells any damage, the line's or a disk file's that was not replaced.
        const bool mismatch = r.code == kExitVerifyMismatch && e.verify;
        if (r.code != kExitNoAnswer && r.code != kExitRefused && r.code != kExitIncomplete && r.code != e.code && !mismatch)
            return "exit " + std::to_string(r.code) + " is no failure a fault may give";
        // PC files untouched or whole; a partial file of get --resume goes
        // on with the disk file's bytes after what it held (continued) or
        // from the start (started over, when the model says so or a
        // corrupted check read made it), or is gone (nothing came after a
        // start over, or two reads differed); its record says this get's
        // source, or is gone with it.
        std::set<std::string> names;
        for (const auto* pc : {&before.pc, &real.pc})
            for (const auto& [name, bytes] : *pc) names.insert(name);
        for (const std::string& name : names) {
            const Bytes* now = PcFile(real, name);
            const Bytes* was = PcFile(before, name);
            const Bytes* whole = PcFile(e.after, name);
            auto same = [&](const Bytes* x, const Bytes* y) {
                return x == nullptr ? y == nullptr : y != nullptr && (*x == *y || (corrupted && x->size() == y->size()));
            };
            if (same(now, was) || same(now, whole)) continue;
            if (name == e.partial) {
                const size_t held = e.partialWas.size();
                const bool fits = now != nullptr && now->size() <= e.disk.size();
                const bool continued = fits && StartsWith(*now, e.partialWas) &&
                                       (corrupted || std::equal(now->begin() + static_cast<long>(held), now->end(),
                                                                e.disk.begin() + static_cast<long>(held)));
                const bool over = fits && (corrupted || StartsWith(e.disk, *now));
                const bool mayStartOver = !e.continues || corrupted;
                if (now == nullptr ? mayStartOver || r.code == kExitVerifyMismatch
                                   : continued || (over && mayStartOver))
                    continue;
            }
            if (name == e.record && (now == nullptr || *now == e.source)) continue;
            return "a failure left PC file " + name + " neither as it was nor whole";
        }
        if (op.command == "read" && !m_out.str().empty()) return "a failed read showed bytes";
        if (real.dirs != before.dirs && real.dirs != e.after.dirs) return "a failure changed directories beyond the operation";
        const uint64_t reported = ReportedWritten(r.message);
        for (const auto& [path, bytes] : real.files) {
            const auto old = before.files.find(path);
            if (old != before.files.end() && old->second == bytes) continue;
            if (e.after.files.count(path) != 0 && e.after.files.at(path) == bytes) continue;
            if (path == e.sentTo) {
                if (corrupted ||
                    WrittenInPart(e.old, e.sentAt, e.sent, reported > e.sentAt ? reported - e.sentAt : 0, bytes))
                    continue;
                return "disk file " + path + " holds no prefix of what was sent at least as long as reported (" +
                       std::to_string(reported) + " bytes)";
            }
            if (op.command == "get" && bytes.empty() && old == before.files.end()) continue;  // its open creates
            return "a failure changed disk file " + path;
        }
        // put deletes its target first.
        for (const auto& [path, bytes] : before.files)
            if (real.files.count(path) == 0 && e.after.files.count(path) != 0 && !(op.command == "put" && path == e.sentTo))
                return "a failure removed disk file " + path;
        return "";
    }

    // The same files and directories, of the same sizes.
    static bool SameShape(const World& a, const World& b) {
        auto sizes = [](const std::map<std::string, Bytes>& files) {
            std::map<std::string, size_t> out;
            for (const auto& [name, bytes] : files) out[name] = bytes.size();
            return out;
        };
        return a.dirs == b.dirs && sizes(a.files) == sizes(b.files) && sizes(a.pc) == sizes(b.pc);
    }

    static std::string DiskDifference(const World& expect, const World& real) {
        for (const auto& [path, bytes] : expect.files) {
            const auto it = real.files.find(path);
            if (it == real.files.end()) return ": " + path + " is missing";
            if (it->second != bytes)
                return ": " + path + " holds " + std::to_string(it->second.size()) + " bytes, the model " +
                       std::to_string(bytes.size());
        }
        for (const auto& [path, bytes] : real.files)
            if (expect.files.count(path) == 0) return ": " + path + " should not be there";
        return ": the directories";
    }

    Options m_o;
    fs::path m_pc;
    std::unique_ptr<ModuleSimulator> m_sim;
    Session m_session;
    std::ostringstream m_out, m_err;
    World m_model;
    Random m_random{0};
    uint64_t m_faults = 0, m_failures = 0, m_divergences = 0;
    long m_lateMs = 0;  // delays of the last operation's faults
    std::map<std::string, uint64_t> m_faultsByKind;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fputs(kSoakUsage, stderr);
        return 2;
    }
    bool seeded = false;
    for (int i = 1; i < argc; ++i) seeded = seeded || std::strcmp(argv[i], "--seed") == 0;
    if (!seeded) o.seed = (static_cast<uint64_t>(std::random_device()()) << 32 | std::random_device()()) % 1000000000000ULL;
    if (o.ops == 0 && o.seconds <= 0) o.ops = 1000;
    std::string root = (fs::temp_directory_path() / "tovrel-soak-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        std::perror("soak: mkdtemp");
        return 2;
    }
    std::printf("soak: seed %llu\n", static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    int status = 0;
    {
        Soak soak(o, root);
        // The client's get saves relative names here.
        if (chdir((fs::path(root) / "pc").c_str()) != 0) return 2;
        status = soak.Run();
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return status;
}
