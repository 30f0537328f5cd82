// The soak's model of the disk, the module, the client and the PC folder:
// what an operation should do when nothing goes wrong (Predict), and the
// operations drawn at random (Draw).
#ifndef TOVREL_TESTS_SOAK_SOAKMODEL_H
#define TOVREL_TESTS_SOAK_SOAKMODEL_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/Cli.h"

namespace soak {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRate = 115200;

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

std::string Join(const std::vector<std::string>& parts);
// Bytes written at the pointer, as the module writes them.
void WriteAt(Bytes* file, uint32_t pos, const uint8_t* data, size_t size);
// put's and get's options before the names; the names.
std::vector<std::string> Names(const std::vector<std::string>& args, bool* verify, bool* resume, bool* fast = nullptr);
// A put or get with --fast.
bool Fast(const Operation& op);
bool StartsWith(const Bytes& bytes, const Bytes& start);
// The PC file of that name, or null.
const Bytes* PcFile(const World& w, const std::string& name);
Expected Predict(const World& before, const Operation& op);
Operation Draw(Random& r, const World& w);
// The bytes write sends for its words.
Bytes WriteBytes(const std::vector<std::string>& words);
// What read prints for the bytes.
std::string ReadOutput(const Bytes& data);

}  // namespace soak

#endif
