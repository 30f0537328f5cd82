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
#include "text/Cp936.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kRate = 115200;
constexpr long kFaultCostMs = 2400;     // one wait of 2 s that runs out, the line brought back in step
// --fast under a fault may look for the module at every rate on its port.
constexpr long kSearchCostMs = 8 * kFaultCostMs;
constexpr long kExchangeCostMs = 50;    // an exchange on an unpaced pseudo-terminal, generously
constexpr long kOperationSlackMs = 1500;

// splitmix64: the same sequence on every platform and library.
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    template <size_t N>
    const char* Pick(const char* const (&names)[N]) { return names[Below(N)]; }
};

// What the disk, the module, the client and the PC folder hold.
struct World {
    std::map<std::string, Bytes> files;  // by path from the disk's root: "D0/F1"
    std::set<std::string> dirs;          // "D0", "D0/E0"
    std::string cwd;                     // the module's current directory; "" the root
    bool clientDirKnown = true;          // the client's idea of it, when it has one
    std::string clientDir;
    bool open = false;                   // the module's open file, its handle and pointer
    std::string openPath;
    uint8_t handle = 0xFF;
    uint32_t pos = 0;
    bool clientOpen = false;             // the Session's file, its handle and size at the open
    uint8_t clientHandle = 0xFF;
    uint32_t clientSize = 0;
    uint32_t rate = kRate;
    int64_t clock = 0;                   // the module's clock minus the host's, seconds
    std::map<std::string, Bytes> pc;     // the PC folder, by name

    auto Disk() const { return std::tie(files, dirs); }
    auto Module() const {
        return std::tie(cwd, clientDirKnown, clientDir, open, openPath, handle, pos, clientOpen, clientHandle, clientSize, rate);
    }
};

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : "/") + part;
    return out;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// A module name resolved as the module does against `cwd`; false: a bad name.
bool Resolve(const std::string& cwdPath, const std::string& name, std::string* path) {
    std::vector<std::string> parts;
    if (name.empty() || name[0] != '/') {
        std::stringstream cwd(cwdPath);
        for (std::string part; std::getline(cwd, part, '/');)
            if (!part.empty()) parts.push_back(part);
    }
    std::stringstream in(name);
    for (std::string part; std::getline(in, part, '/');) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    *path = Join(parts);
    return true;
}

bool IsDir(const World& w, const std::string& path) { return path.empty() || w.dirs.count(path) != 0; }

// The module's open: a status, 0 with the file open (created if missing).
int ModuleOpen(World* w, const std::string& name) {
    std::string path;
    if (w->open) return 6;
    if (!Resolve(w->cwd, name, &path) || path.empty() || IsDir(*w, path)) return 4;
    if (!IsDir(*w, Parent(path))) return 1;
    w->files[path];
    w->open = true;
    w->openPath = path;
    w->pos = 0;
    return 0;
}

void ModuleClose(World* w) {
    w->open = false;
    w->openPath.clear();
    w->handle = 0xFF;
    w->pos = 0;
}

// Bytes written at the pointer, as the module writes them.
void WriteAt(Bytes* file, uint32_t pos, const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (file->size() < pos + size) file->resize(pos + size, 0);
    std::copy(data, data + size, file->begin() + pos);
}

// One operation: a client command, or one of the soak's own on the PC
// folder ("pc-make NAME SIZE", "pc-remove NAME").
struct Operation {
    std::string command;
    std::vector<std::string> args;
    Bytes data;  // what write sends, or pc-make's contents
    std::string Text() const {
        std::string text = command;
        for (const std::string& arg : args) text += " '" + arg + "'";
        return text;
    }
};

// What the model says an operation does when nothing goes wrong.
struct Expected {
    int code = kExitOk;
    World after;
    Bytes sent;               // what a write, writefile or put sends
    std::string sentTo;       // to which disk file
    uint32_t sentAt = 0;      // from which byte on
    Bytes old;                // over what it held before
    Bytes read;               // what read shows
    bool verify = false;      // put or get --verify
    std::string partial;      // get --resume's partial file, by name
    Bytes partialWas;         // as it was before
    std::string record;       // the record of its source beside it, by name
    Bytes source;             // what the record says for this get (none: the name cannot be told)
    bool continues = false;   // the partial file is continued, not started over
    Bytes disk;               // get's disk file
};

const char* const kRates[] = {"115200", "57600", "9600"};

bool IsRate(const std::string& text) {
    return std::find(std::begin(kRates), std::end(kRates), text) != std::end(kRates);
}

// put's and get's options before the names: --verify, --resume, --retries
// N, --fast [RATE].
std::vector<std::string> Names(const std::vector<std::string>& args, bool* verify, bool* resume, bool* fast = nullptr) {
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 2, "--") == 0; ++i) {
        if (args[i] == "--verify") *verify = true;
        if (args[i] == "--resume") *resume = true;
        if (args[i] == "--retries") ++i;
        if (args[i] == "--fast" && fast != nullptr) *fast = true;
        if (args[i] == "--fast" && i + 1 < args.size() && IsRate(args[i + 1])) ++i;
    }
    return std::vector<std::string>(args.begin() + static_cast<long>(i), args.end());
}

bool Fast(const Operation& op) {
    bool verify = false, resume = false, fast = false;
    if (op.command == "put" || op.command == "get") Names(op.args, &verify, &resume, &fast);
    return fast;
}

bool StartsWith(const Bytes& bytes, const Bytes& start) {
    return bytes.size() >= start.size() && std::equal(start.begin(), start.end(), bytes.begin());
}

const Bytes* PcFile(const World& w, const std::string& name) {
    const auto it = w.pc.find(name);
    return it == w.pc.end() ? nullptr : &it->second;
}

Expected Predict(const World& before, const Operation& op) {
    Expected e;
    e.after = before;
    World& w = e.after;
    const auto& a = op.args;
    auto fail = [&](int code) {
        e.code = code;
        return std::move(e);
    };
    const std::string& c = op.command;
    if (c == "info" || c == "leftover") return e;
    if (c == "set") {
        for (size_t i = 0; i + 1 < a.size(); i += 2)
            if (a[i] == "--rate") w.rate = static_cast<uint32_t>(std::stoul(a[i + 1]));
        return e;
    }
    if (c == "open") {
        if (w.clientOpen) return fail(kExitBadInput);
        if (ModuleOpen(&w, a[0]) != 0) return fail(kExitRefused);
        w.clientOpen = true;
        w.clientSize = static_cast<uint32_t>(w.files[w.openPath].size());
        return e;
    }
    if (c == "close") {
        w.clientOpen = false;
        w.clientHandle = 0xFF;
        w.clientSize = 0;
        if (!w.open) return fail(kExitRefused);
        ModuleClose(&w);
        return e;
    }
    bool resume = false;
    const std::vector<std::string> names = Names(a, &e.verify, &resume);
    if (c == "put") {
        if (w.clientOpen) return fail(kExitBadInput);
        const Bytes* local = PcFile(w, names[0]);
        if (local == nullptr) return fail(kExitLocalFile);
        std::string path;
        // Deleted first, the open file excepted; kept to be resumed.
        if (!resume && Resolve(w.cwd, names[1], &path) && !(w.open && w.openPath == path)) w.files.erase(path);
        if (ModuleOpen(&w, names[1]) != 0) return fail(kExitRefused);
        e.sentTo = w.openPath;
        Bytes& file = w.files[w.openPath];
        const size_t held = file.size();
        ModuleClose(&w);
        if (held > local->size()) return fail(kExitBadInput);
        if (e.verify && !StartsWith(*local, file)) return fail(kExitVerifyMismatch);
        e.sent.assign(local->begin() + static_cast<long>(held), local->end());
        e.sentAt = static_cast<uint32_t>(held);
        e.old = file;
        file.insert(file.end(), e.sent.begin(), e.sent.end());
        return e;
    }
    if (c == "get") {
        if (w.clientOpen) return fail(kExitBadInput);
        if (ModuleOpen(&w, names[0]) != 0) return fail(kExitRefused);
        e.disk = w.files[w.openPath];
        ModuleClose(&w);
        if (e.disk.empty()) return fail(kExitEmptyFile);
        if (!resume) {
            w.pc[names[1]] = e.disk;
            return e;
        }
        // Goes on from the partial file only if its record names this disk
        // file as the client resolves it, and the bytes before the join
        // (with --verify all it holds) are the disk file's; else over again.
        e.partial = names[1] + ".tovrel-resume";
        e.record = e.partial + "-source";
        const Bytes* partial = PcFile(w, e.partial);
        if (partial != nullptr) e.partialWas = *partial;
        std::string path;
        if ((w.clientDirKnown || names[0][0] == '/') && Resolve(w.clientDir, names[0], &path)) {
            const std::string text = "size " + std::to_string(e.disk.size()) + "\nname /" + path + "\n";
            e.source.assign(text.begin(), text.end());
        }
        const size_t held = e.partialWas.size();
        const size_t from = e.verify ? 0 : held - std::min<size_t>(held, 512);
        const Bytes* record = PcFile(w, e.record);
        e.continues = held > 0 && !e.source.empty() && record != nullptr && *record == e.source &&
                      held <= e.disk.size() && std::equal(e.partialWas.begin() + static_cast<long>(from), e.partialWas.end(),
                                                          e.disk.begin() + static_cast<long>(from));
        Bytes whole = e.continues ? e.partialWas : Bytes();
        whole.insert(whole.end(), e.disk.begin() + static_cast<long>(whole.size()), e.disk.end());
        w.pc.erase(e.partial);
        w.pc.erase(e.record);
        w.pc[names[1]] = whole;
        return e;
    }
    // The rest work on the open file.
    if (c == "read" || c == "readfile" || c == "write" || c == "writefile" || c == "seek") {
        if (!w.clientOpen) return fail(kExitBadInput);
        if (c == "writefile" && PcFile(w, a[0]) == nullptr) return fail(kExitLocalFile);
        if (c == "readfile" && w.clientSize == 0) return fail(kExitEmptyFile);
        // A handle the module does not know is refused at the first exchange.
        const bool ours = w.open && w.clientHandle == w.handle;
        Bytes none;
        Bytes& file = ours ? w.files[w.openPath] : none;
        if (c == "seek") {
            if (!ours) return fail(kExitRefused);
            const int64_t base = a[1] == "start" ? 0 : a[1] == "cur" ? int64_t(w.pos) : int64_t(file.size());
            const int64_t target = base + std::stol(a[0]);
            if (target < 0) return fail(kExitRefused);
            w.pos = static_cast<uint32_t>(target);
            return e;
        }
        if (c == "write" || c == "writefile") {
            e.sent = c == "write" ? op.data : *PcFile(w, a[0]);
            if (e.sent.empty()) return e;
            if (!ours) return fail(kExitRefused);
            e.sentTo = w.openPath;
            e.sentAt = w.pos;
            e.old = file;
            WriteAt(&file, w.pos, e.sent.data(), e.sent.size());
            w.pos += static_cast<uint32_t>(e.sent.size());
            return e;
        }
        const size_t limit = c == "read" ? std::stoul(a[0]) : SIZE_MAX;
        if (limit == 0) return e;
        if (!ours) return fail(kExitIncomplete);
        const size_t from = std::min<size_t>(w.pos, file.size());
        const size_t n = std::min(limit, file.size() - from);
        e.read.assign(file.begin() + static_cast<long>(from), file.begin() + static_cast<long>(from + n));
        w.pos = std::max<uint32_t>(w.pos, static_cast<uint32_t>(from + n));
        if (c == "readfile") w.pc[a[0]] = e.read;
        return e;
    }
    std::string path;
    if (!Resolve(w.cwd, a[0], &path)) return fail(kExitRefused);
    if (c == "cd") {
        if (!IsDir(w, path)) return fail(kExitRefused);
        w.cwd = path;
        // The client follows what the module confirmed; an absolute name
        // tells it where the module is even when it had lost track.
        w.clientDirKnown = w.clientDirKnown || a[0][0] == '/';
        if (w.clientDirKnown) w.clientDir = path;
        return e;
    }
    if (path.empty()) return fail(kExitRefused);
    if (c == "rm") {
        if ((w.open && w.openPath == path) || w.files.erase(path) == 0) return fail(kExitRefused);
        return e;
    }
    if (c == "mkdir") {
        if (IsDir(w, path) || w.files.count(path) != 0 || !IsDir(w, Parent(path))) return fail(kExitRefused);
        w.dirs.insert(path);
        return e;
    }
    // rmdir: a directory, empty, and neither the current one nor above it.
    if (!IsDir(w, path)) return fail(kExitRefused);
    for (const auto& [file, bytes] : w.files)
        if (Parent(file) == path) return fail(kExitRefused);
    for (const std::string& dir : w.dirs)
        if (Parent(dir) == path) return fail(kExitRefused);
    if (w.cwd == path || w.cwd.compare(0, path.size() + 1, path + "/") == 0) return fail(kExitRefused);
    w.dirs.erase(path);
    return e;
}

// The names the operations draw from: few, so that they meet.
const char* const kFiles[] = {"F0", "F1", "文件", "D0/F2", "/D0/F0", "/F1", "../F0", "D0/E0/F3", "D1", "/X/F0"};
const char* const kDirs[] = {"D0", "D1", "D0/E0", "/D1", "E0", "/D0/E0/G0", "F0", ".."};
const char* const kPlaces[] = {"/", "..", "D0", "/D0", "E0", "/D0/E0", "D1", "F0"};
const char* const kPcNames[] = {"p0", "p1", "p2", "p3"};
const char* const kText[] = {"abc", "\\n", "\\t", "\\\\", "\\x41", "中文", "0123456789"};

uint32_t DrawSize(Random& r) {
    static const uint32_t kEdges[] = {0, 1, 511, 512, 513, 1023, 1024, 1025, 1536};
    switch (r.Below(10)) {
        case 0:
        case 1: return kEdges[r.Below(sizeof kEdges / sizeof kEdges[0])];
        case 2: return r.Below(20000);
        default: return r.Below(3000);
    }
}

Operation Draw(Random& r, const World& w) {
    static const struct {
        const char* command;
        uint32_t weight;
    } kWeights[] = {{"put", 20}, {"get", 14}, {"open", 6}, {"close", 6}, {"write", 10}, {"writefile", 6},
                    {"read", 8}, {"readfile", 8}, {"seek", 8},  {"mkdir", 5}, {"cd", 5},     {"rm", 5},
                    {"rmdir", 4}, {"info", 3}, {"set", 2},  {"pc-make", 10}, {"pc-remove", 1},
                    {"leftover", 3}};
    uint32_t total = 0;
    for (const auto& k : kWeights) total += k.weight;
    uint32_t pick = r.Below(total);
    Operation op;
    for (const auto& k : kWeights) {
        if (pick < k.weight) {
            op.command = k.command;
            break;
        }
        pick -= k.weight;
    }
    // Mostly what the client's state allows: few refusals for a file open or not.
    const std::set<std::string> kOnFile = {"read", "readfile", "write", "writefile", "seek"};
    const bool needsFile = kOnFile.count(op.command) != 0;
    const bool needsNone = op.command == "put" || op.command == "get" || op.command == "open";
    if (r.Below(5) != 0 && w.clientOpen && needsNone) op.command = "close";
    if (r.Below(5) != 0 && !w.clientOpen && needsFile) op.command = "open";
    const std::string& c = op.command;
    if (c == "put") op.args = {r.Pick(kPcNames), r.Pick(kFiles)};
    if (c == "get") op.args = {r.Pick(kFiles), r.Pick(kPcNames)};
    if ((c == "put" || c == "get") && r.Below(4) == 0) op.args.insert(op.args.begin(), "--resume");
    if ((c == "put" || c == "get") && r.Below(3) == 0) op.args.insert(op.args.begin(), "--verify");
    // Retries on by default; off, or few, some of the time.
    if ((c == "put" || c == "get") && r.Below(4) == 0) op.args.insert(op.args.begin(), {"--retries", r.Below(2) ? "0" : "2"});
    if ((c == "put" || c == "get") && r.Below(6) == 0) {
        if (r.Below(2) == 0) op.args.insert(op.args.begin(), "57600");
        op.args.insert(op.args.begin(), "--fast");
    }
    // A request a killed client sent, whose answer it never read.
    if (c == "leftover") op.args = {r.Below(2) == 0 ? "status" : "cd"};
    if (c == "open" || c == "rm") op.args = {r.Pick(kFiles)};
    if (c == "mkdir" || c == "rmdir") op.args = {r.Pick(kDirs)};
    if (c == "cd") op.args = {r.Pick(kPlaces)};
    if (c == "writefile" || c == "readfile" || c == "pc-remove") op.args = {r.Pick(kPcNames)};
    if (c == "pc-remove" && r.Below(2) == 0) op.args[0] += ".tovrel-resume";
    if (c == "read") op.args = {std::to_string(r.Below(4) == 0 ? 0 : DrawSize(r))};
    if (c == "set") {
        if (r.Below(2) == 0) op.args = {"--rate", r.Pick(kRates)};
        if (r.Below(2) == 0) op.args.insert(op.args.end(), {"--clock", "26-12-07 09:30:00"});
    }
    if (c == "pc-make") {
        op.args = {r.Pick(kPcNames)};
        op.data.resize(DrawSize(r));
        for (uint8_t& byte : op.data) byte = static_cast<uint8_t>(r.Next());
    }
    if (c == "write") {
        // Words of text and escapes; a long one now and then spans chunks.
        const uint32_t words = r.Below(8) == 0 ? 100 + r.Below(300) : 1 + r.Below(6);
        for (uint32_t i = 0; i < words; ++i) {
            std::string word;
            for (uint32_t j = 1 + r.Below(3); j > 0; --j) word += r.Pick(kText);
            op.args.push_back(word);
        }
    }
    if (c == "seek") {
        const auto it = w.files.find(w.openPath);
        const int64_t size = w.open && it != w.files.end() ? int64_t(it->second.size()) : 0;
        const int64_t targets[] = {0, size, size / 2, size + r.Below(700), r.Below(uint32_t(size) + 1), -1};
        const int64_t target = targets[r.Below(6)];
        static const char* const kOrigins[] = {"start", "cur", "end"};
        op.args = {"", r.Pick(kOrigins)};
        const int64_t base = op.args[1] == "start" ? 0 : op.args[1] == "cur" ? int64_t(w.pos) : size;
        op.args[0] = std::to_string(target - base);
    }
    return op;
}

// The bytes write sends for its words: joined by blanks, the escapes
// taken, in code page 936.
Bytes WriteBytes(const std::vector<std::string>& words) {
    std::string joined, text, cp936;
    for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
    for (size_t i = 0; i < joined.size(); ++i) {
        if (joined[i] != '\\') {
            text += joined[i];
        } else if (joined[++i] == 'x') {
            text += static_cast<char>(std::stoi(joined.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            text += joined[i] == 'n' ? '\n' : joined[i] == 't' ? '\t' : '\\';
        }
    }
    Utf8ToCp936(text, &cp936);
    return Bytes(cp936.begin(), cp936.end());
}

// What read prints for the bytes: text, else hex, 16 bytes a line.
std::string ReadOutput(const Bytes& data) {
    std::string text;
    if (Cp936ToUtf8(std::string(data.begin(), data.end()), &text))
        return text.empty() || text.back() == '\n' ? text : text + '\n';
    std::string out;
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < data.size(); ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 0xF];
        out += (i % 16 == 15 || i + 1 == data.size()) ? '\n' : ' ';
    }
    return out;
}

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
