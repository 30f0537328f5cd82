#include "tests/soak/SoakModel.h"

#include <algorithm>
#include <sstream>

#include "text/Cp936.h"

namespace soak {



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



const char* const kRates[] = {"115200", "57600", "9600"};

bool IsRate(const std::string& text) {
    return std::find(std::begin(kRates), std::end(kRates), text) != std::end(kRates);
}

// put's and get's options before the names: --verify, --resume, --retries
// N, --fast [RATE].
std::vector<std::string> Names(const std::vector<std::string>& args, bool* verify, bool* resume, bool* fast) {
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

}  // namespace soak
