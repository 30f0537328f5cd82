#include "ModuleSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "SimDisk.h"
#include "serial/posix/TermiosLine.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kModuleRates[8] = {4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};
constexpr size_t kMaxRequestData = 512;
constexpr size_t kKeptRequests = 10000;
// A request left unfinished this long is given up, as a module's receiver would.
constexpr auto kInterByteTimeout = std::chrono::milliseconds(500);
constexpr int kPollSliceMs = 200;

int RateIndex(uint32_t rate) {
    for (int i = 0; i < 8; ++i)
        if (kModuleRates[i] == rate) return i;
    return -1;
}

std::chrono::nanoseconds ByteTime(uint32_t rate) { return std::chrono::nanoseconds(10'000'000'000LL / rate); }

void PutU32(Bytes* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A silently damaged byte: one bit, as noise on an unchecked line would do.
void Corrupt(Bytes* bytes, uint32_t index) {
    if (!bytes->empty()) (*bytes)[std::min<size_t>(index, bytes->size() - 1)] ^= 0x01;
}

bool Corrupting(const SimFault* fault) { return fault != nullptr && fault->kind == SimFault::kCorrupt; }

}  // namespace

struct ModuleSimulator::State {
    explicit State(const SimConfig& c)
        : config(c), rate(c.rate), diskPresent(c.diskPresent), randomState(c.random.seed) {}

    SimConfig config;
    int master = -1;
    int slave = -1;  // kept open, so the program's closing the port is no hang-up here
    int wake[2] = {-1, -1};
    std::string slavePath;
    std::thread thread;
    std::atomic<bool> stop{false};

    mutable std::mutex mutex;  // guards what follows
    uint32_t rate;
    bool diskPresent;
    SimDisk disk;
    std::deque<Bytes> requests;
    struct Armed {
        SimFault fault;
        uint32_t left;
    };
    std::vector<Armed> faults;
    int64_t clockOffset = 0;  // module clock minus host UTC, seconds
    uint64_t requestCount = 0;
    uint64_t randomState;     // splitmix64, the same on every platform
    std::deque<SimInjectedFault> injected;
    std::string link;         // --link's path; empty: none

    // Serving thread only.
    Bytes pending;
    Clock::time_point lastByte;
    Clock::time_point receivedUntil;  // when the last received byte has crossed a paced line

    bool OpenTerminal(std::string* error);
    void CloseTerminal();
    void CloseLine();
    void DropLink();
    int Serve(const volatile bool* stopFlag);
    bool Take(const uint8_t* bytes, size_t n);
    bool Handle(const Bytes& request);
    Bytes Execute(const Bytes& request, const SimFault* fault);
    bool Send(const Bytes& bytes, uint32_t lineRate);
    bool SleepFor(std::chrono::nanoseconds duration);
    bool SleepUntil(Clock::time_point when) { return SleepFor(when - Clock::now()); }
    void Trace(const char* direction, const uint8_t* bytes, size_t n) const;
    bool FaultFor(uint8_t command, SimFault* out);
    uint64_t NextRandom();
    bool DrawFault(const Bytes& request, SimFault* out);
    void NoteDrawn(uint8_t command, const SimFault& fault);
};

bool ModuleSimulator::State::OpenTerminal(std::string* error) {
    if (RateIndex(config.rate) < 0) {
        *error = "the module has no rate " + std::to_string(config.rate);
        return false;
    }
    if (!disk.Attach(config.diskFolder, error)) return false;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    slavePath = name;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    TermiosLine line;
    line.rate = config.rate;
    ApplyTermiosLine(master, line);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // A program started beside the module must not hold its line open: a
    // hang-up would never reach that program.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void ModuleSimulator::State::CloseLine() {
    for (int* fd : {&master, &slave}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void ModuleSimulator::State::DropLink() {
    if (!link.empty()) RemoveTerminalLink(link, slavePath);
    link.clear();
}

void ModuleSimulator::State::CloseTerminal() {
    CloseLine();
    for (int* fd : {&wake[0], &wake[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool ModuleSimulator::State::SleepFor(std::chrono::nanoseconds duration) {
    const Clock::time_point end = Clock::now() + duration;
    for (;;) {
        if (stop) return false;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now());
        if (left.count() <= 0) return true;
        pollfd p{wake[0], POLLIN, 0};
        timespec ts{static_cast<time_t>(left.count() / 1000000), static_cast<long>(left.count() % 1000000) * 1000};
        ppoll(&p, 1, &ts, nullptr);
    }
}

void ModuleSimulator::State::Trace(const char* direction, const uint8_t* bytes, size_t n) const {
    if (config.trace == nullptr || n == 0) return;
    std::string line = direction;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        line += hex;
    }
    line += '\n';
    std::fputs(line.c_str(), config.trace);
    std::fflush(config.trace);
}

bool ModuleSimulator::State::FaultFor(uint8_t command, SimFault* out) {
    bool found = false;
    for (size_t i = 0; i < faults.size();) {
        Armed& armed = faults[i];
        if ((armed.fault.kind == SimFault::kShortWrite && command != 0x20) ||
            (armed.fault.kind == SimFault::kShortRead && command != 0x30) ||
            (armed.fault.kind == SimFault::kClaimSize && command != 0x10)) {
            ++i;
            continue;
        }
        if (--armed.left != 0 || found) {
            if (armed.left == 0) armed.left = 1;  // a second fault due now waits for the next request
            ++i;
            continue;
        }
        *out = armed.fault;
        found = true;
        if (armed.fault.repeat) {
            armed.left = 1;
            ++i;
        } else {
            faults.erase(faults.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return found;
}

uint64_t ModuleSimulator::State::NextRandom() {
    uint64_t z = (randomState += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Whether this request gets a random fault, and which (see SimRandomFaults).
bool ModuleSimulator::State::DrawFault(const Bytes& request, SimFault* out) {
    const SimRandomFaults& random = config.random;
    if (random.probability <= 0) return false;
    if (static_cast<double>(NextRandom() >> 11) * 0x1.0p-53 >= random.probability) return false;
    const uint8_t command = request[2];
    const uint32_t length = static_cast<uint32_t>(request.size() - 6);
    const uint32_t readCount = command == 0x30 && length == 4 ? (request[6] | request[7] << 8) : 0;
    std::vector<SimFault::Kind> kinds = {SimFault::kSilent,          SimFault::kGarbageFirst,   SimFault::kWrongMarker,
                                         SimFault::kTruncatePayload, SimFault::kOversizeLength, SimFault::kStatus};
    if (random.maxDelayMs > 0) kinds.push_back(SimFault::kDelay);
    if (command == 0x20 && length > 0) kinds.insert(kinds.end(), {SimFault::kShortWrite, SimFault::kCorrupt});
    if (readCount > 0) kinds.push_back(SimFault::kCorrupt);
    // Not 0 bytes: an empty answer is how the module tells the end of a file.
    if (readCount > 1) kinds.push_back(SimFault::kShortRead);
    SimFault fault;
    fault.kind = kinds[NextRandom() % kinds.size()];
    switch (fault.kind) {
        case SimFault::kDelay: fault.value = static_cast<uint32_t>(1 + NextRandom() % random.maxDelayMs); break;
        case SimFault::kGarbageFirst:
            fault.bytes.resize(1 + NextRandom() % 8);
            for (uint8_t& byte : fault.bytes) byte = static_cast<uint8_t>(NextRandom());
            // Garbage that began with the marker could forge a whole answer.
            if (fault.bytes[0] == 0x53) fault.bytes[0] = 0x00;
            break;
        // Cut inside the payload, once the answer is known.
        case SimFault::kTruncatePayload: fault.value = static_cast<uint32_t>(NextRandom() & 0xFFFF); break;
        case SimFault::kOversizeLength: fault.value = static_cast<uint32_t>(513 + NextRandom() % 88); break;
        case SimFault::kStatus: fault.value = static_cast<uint32_t>(1 + NextRandom() % 255); break;
        case SimFault::kShortWrite: fault.value = static_cast<uint32_t>(NextRandom() % length); break;
        case SimFault::kShortRead: fault.value = static_cast<uint32_t>(1 + NextRandom() % (readCount - 1)); break;
        case SimFault::kCorrupt:
            fault.value = static_cast<uint32_t>(NextRandom() % (command == 0x20 ? length : readCount));
            break;
        default: break;
    }
    *out = fault;
    return true;
}

void ModuleSimulator::State::NoteDrawn(uint8_t command, const SimFault& fault) {
    injected.push_back({requestCount, command, fault});
    if (injected.size() > kKeptRequests) injected.pop_front();
    if (config.trace != nullptr) {
        std::fprintf(config.trace, "! random fault %s %u\n", SimFaultKindName(fault.kind), fault.value);
        std::fflush(config.trace);
    }
}

// The answer to one request, with the module's state changed by it.
Bytes ModuleSimulator::State::Execute(const Bytes& request, const SimFault* fault) {
    const uint8_t command = request[2];
    const uint8_t handle = request[3];
    const uint8_t* data = request.data() + 6;
    const size_t length = request.size() - 6;
    uint8_t status = kSimOk;
    Bytes payload;

    const bool diskCommand = command >= 0x10;
    if (diskCommand && !diskPresent) {
        status = kSimNoDisk;
    } else {
        const std::string name(reinterpret_cast<const char*>(data), length);
        switch (command) {
            case 0x00: {
                const time_t now = std::time(nullptr) + clockOffset;
                tm t{};
                gmtime_r(&now, &t);
                const int year = t.tm_year + 1900 - 2000;
                payload = {static_cast<uint8_t>(RateIndex(rate)),
                           static_cast<uint8_t>(year < 0 ? 0 : year > 99 ? 99 : year),
                           static_cast<uint8_t>(t.tm_mon + 1),
                           static_cast<uint8_t>(t.tm_mday),
                           static_cast<uint8_t>(t.tm_hour),
                           static_cast<uint8_t>(t.tm_min),
                           static_cast<uint8_t>(t.tm_sec),
                           static_cast<uint8_t>(diskPresent ? 1 : 0),
                           disk.OpenHandle()};
                PutU32(&payload, disk.OpenSize());
                payload.push_back(0);
                break;
            }
            case 0x01: {
                if (length != 7 || data[0] > 7) {
                    status = kSimBadRequest;
                    break;
                }
                tm t{};
                t.tm_year = 100 + data[1];
                t.tm_mon = data[2] - 1;
                t.tm_mday = data[3];
                t.tm_hour = data[4];
                t.tm_min = data[5];
                t.tm_sec = data[6];
                clockOffset = static_cast<int64_t>(timegm(&t)) - static_cast<int64_t>(std::time(nullptr));
                break;  // the new rate applies once the answer is out
            }
            case 0x10: {
                uint8_t newHandle = 0xFF;
                uint32_t size = 0;
                status = disk.OpenFile(name, &newHandle, &size);
                if (status == kSimOk) {
                    if (fault != nullptr && fault->kind == SimFault::kClaimSize) size = fault->value;
                    payload.push_back(newHandle);
                    PutU32(&payload, size);
                }
                break;
            }
            case 0x12: status = disk.CloseFile(); break;
            case 0x13: status = disk.DeleteFile(name); break;
            case 0x50: status = disk.MakeDir(name); break;
            case 0x52: status = disk.SetCurrentDir(name); break;
            case 0x53: status = disk.RemoveDir(name); break;
            case 0x20: {
                uint32_t limit = static_cast<uint32_t>(length);
                if (fault != nullptr && fault->kind == SimFault::kShortWrite) limit = fault->value;
                uint32_t written = 0;
                const uint8_t* stored = data;
                Bytes damaged;
                if (Corrupting(fault)) {
                    damaged.assign(data, data + length);
                    Corrupt(&damaged, fault->value);
                    stored = damaged.data();
                }
                status = disk.Write(handle, stored, static_cast<uint32_t>(length), limit, &written);
                if (status == kSimOk) payload = {static_cast<uint8_t>(written & 0xFF), static_cast<uint8_t>(written >> 8)};
                break;
            }
            case 0x30: {
                if (length != 4) {
                    status = kSimBadRequest;
                    break;
                }
                uint32_t count = static_cast<uint32_t>(data[0] | data[1] << 8);
                if (fault != nullptr && fault->kind == SimFault::kShortRead) count = std::min(count, fault->value);
                status = disk.Read(handle, count, &payload);
                if (Corrupting(fault)) Corrupt(&payload, fault->value);
                break;
            }
            case 0x40: {
                if (length != 5) {
                    status = kSimBadRequest;
                    break;
                }
                const uint32_t bits = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                      static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
                int32_t offset = 0;
                std::memcpy(&offset, &bits, sizeof offset);
                status = disk.Seek(handle, offset, data[4]);
                break;
            }
            default: status = kSimBadRequest; break;
        }
    }
    if (status != kSimOk) payload.clear();
    Bytes answer(6 + payload.size());
    answer[0] = 0x53;
    answer[1] = 0x3A;
    answer[2] = command;
    answer[3] = status;
    answer[4] = static_cast<uint8_t>(payload.size() & 0xFF);
    answer[5] = static_cast<uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), answer.begin() + 6);
    return answer;
}

// Writes the bytes, at the line's byte time when paced. False when the line is gone.
bool ModuleSimulator::State::Send(const Bytes& bytes, uint32_t lineRate) {
    Trace("<", bytes.data(), bytes.size());
    const auto byteTime = ByteTime(lineRate);
    const Clock::time_point start = Clock::now();
    size_t done = 0;
    while (done < bytes.size()) {
        size_t slice = bytes.size() - done;
        if (config.pace) {
            // Slices of about a millisecond, each when its bytes would have crossed the line.
            const size_t perMs = static_cast<size_t>(lineRate / 10000) + 1;
            if (slice > perMs) slice = perMs;
            if (!SleepUntil(start + byteTime * static_cast<int64_t>(done + slice))) return false;
        }
        const ssize_t n = write(master, bytes.data() + done, slice);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{master, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) return false;  // nobody reads: give up this answer
    }
    return true;
}

// One whole request: record it, apply what fault is due, answer.
bool ModuleSimulator::State::Handle(const Bytes& request) {
    Trace(">", request.data(), request.size());
    SimFault fault;
    bool faulty = false;
    uint32_t lineRate = 0;
    Bytes answer;
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
        if (requests.size() > kKeptRequests) requests.pop_front();
        ++requestCount;
        faulty = FaultFor(request[2], &fault);
        const bool drawn = !faulty && DrawFault(request, &fault);
        faulty = faulty || drawn;
        lineRate = rate;
        if (drawn && fault.kind == SimFault::kSilent) NoteDrawn(request[2], fault);
        if (faulty && fault.kind == SimFault::kHangUp) {
            // Nothing is served from here on: the link goes while the
            // terminal it names is still this one.
            DropLink();
            CloseLine();
            return false;
        }
        if (faulty && fault.kind == SimFault::kSilent) return true;
        if (faulty && fault.kind == SimFault::kStatus) {
            answer = {0x53, 0x3A, request[2], static_cast<uint8_t>(fault.value), 0, 0};
        } else {
            answer = Execute(request, faulty ? &fault : nullptr);
        }
        if (request[2] == 0x01 && answer[3] == kSimOk) rate = kModuleRates[request[6]];
        if (drawn && fault.kind == SimFault::kTruncatePayload) {
            const uint32_t payload = static_cast<uint32_t>(answer.size() - 6);
            fault.value = payload == 0 ? 0 : fault.value % payload;
        }
        if (drawn) NoteDrawn(request[2], fault);
    }
    if (faulty) {
        switch (fault.kind) {
            case SimFault::kDelay:
                if (!SleepFor(std::chrono::milliseconds(fault.value))) return false;
                break;
            case SimFault::kGarbageFirst: answer.insert(answer.begin(), fault.bytes.begin(), fault.bytes.end()); break;
            case SimFault::kWrongMarker: answer[1] = 0x3B; break;
            case SimFault::kTruncatePayload:
                if (answer.size() > 6 + fault.value) answer.resize(6 + fault.value);
                break;
            case SimFault::kOversizeLength: {
                answer.resize(6);
                answer[4] = static_cast<uint8_t>(fault.value & 0xFF);
                answer[5] = static_cast<uint8_t>(fault.value >> 8);
                for (uint32_t i = 0; i < fault.value; ++i) answer.push_back(static_cast<uint8_t>(0xA5 ^ i));
                break;
            }
            default: break;
        }
    }
    return Send(answer, lineRate);
}

// Feeds received bytes to the request parser. False when the line is gone.
bool ModuleSimulator::State::Take(const uint8_t* bytes, size_t n) {
    const Clock::time_point now = Clock::now();
    if (!pending.empty() && now - lastByte > kInterByteTimeout) pending.clear();
    lastByte = now;
    pending.insert(pending.end(), bytes, bytes + n);
    for (;;) {
        size_t skip = 0;
        while (skip < pending.size() && !(pending[skip] == 0x55 && (skip + 1 == pending.size() || pending[skip + 1] == 0x3A)))
            ++skip;
        if (skip != 0) {
            Trace("> (noise)", pending.data(), skip);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(skip));
        }
        if (pending.size() < 6) return true;
        const size_t length = pending[4] | pending[5] << 8;
        if (length > kMaxRequestData) {
            pending.erase(pending.begin(), pending.begin() + 2);
            continue;
        }
        if (pending.size() < 6 + length) return true;
        Bytes request(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(6 + length));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(6 + length));
        if (config.pace && !SleepUntil(receivedUntil)) return false;
        if (!Handle(request)) return false;
    }
}

int ModuleSimulator::State::Serve(const volatile bool* stopFlag) {
    // A paced line keeps byte times of 87 us at 115200 bit/s; the default
    // 50 us of timer slack would stretch every exchange.
    if (config.pace) prctl(PR_SET_TIMERSLACK, 1UL);
    uint8_t buffer[4096];
    while (!stop && (stopFlag == nullptr || !*stopFlag)) {
        pollfd p[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int ready = poll(p, 2, kPollSliceMs);
        if (ready < 0 && errno != EINTR) return 1;
        if (ready <= 0 || (p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0 && errno == EIO) {
            // Every slave descriptor closed, ours included: nothing can come.
            SleepFor(std::chrono::milliseconds(kPollSliceMs));
            continue;
        }
        if (n <= 0) return 1;

        uint32_t moduleRate = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            moduleRate = rate;
        }
        TermiosLine line;
        // At another speed the module hears only noise.
        if (ReadTermiosLine(master, &line) != 0 || line.rate != moduleRate) {
            Trace("> (other rate)", buffer, static_cast<size_t>(n));
            pending.clear();
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (receivedUntil < now) receivedUntil = now;
        receivedUntil += ByteTime(moduleRate) * n;
        if (!Take(buffer, static_cast<size_t>(n))) return stop ? 0 : 1;
    }
    return 0;
}

bool IsModuleRate(uint32_t rate) { return RateIndex(rate) >= 0; }

const char* SimFaultKindName(SimFault::Kind kind) {
    static const char* const kNames[] = {"none",   "silent",      "delay",  "garbage", "wrong-marker", "truncate",
                                         "oversize", "status", "short-write", "hangup", "short-read",   "size",
                                         "corrupt"};
    const auto index = static_cast<size_t>(kind);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "?";
}

ModuleSimulator::ModuleSimulator(const SimConfig& config) : m_state(new State(config)) {}

ModuleSimulator::~ModuleSimulator() {
    Stop();
    m_state->DropLink();
    m_state->CloseTerminal();
}

bool ModuleSimulator::Start(std::string* error) {
    if (!m_state->OpenTerminal(error)) return false;
    m_state->thread = std::thread([state = m_state.get()] { state->Serve(nullptr); });
    return true;
}

int ModuleSimulator::Run(std::string* error, const volatile bool* stopFlag) {
    if (!m_state->OpenTerminal(error)) return 1;
    return m_state->Serve(stopFlag);
}

void ModuleSimulator::Stop() {
    m_state->stop = true;
    if (m_state->wake[1] >= 0) {
        const uint8_t byte = 1;
        (void)!write(m_state->wake[1], &byte, 1);
    }
    if (m_state->thread.joinable()) m_state->thread.join();
}

std::string ModuleSimulator::SlavePath() const { return m_state->slavePath; }

LinkPlaced ModuleSimulator::LinkTerminal(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->master < 0) {  // hung up already, or never started
        *error = "cannot link " + path + ": the terminal is closed";
        return LinkPlaced::kFailed;
    }
    const LinkPlaced placed = PlaceTerminalLink(path, m_state->slavePath, error);
    if (placed == LinkPlaced::kPlaced) m_state->link = path;
    return placed;
}

std::string ModuleSimulator::DiskFolder() const { return m_state->disk.Root().string(); }

void ModuleSimulator::ArmFault(const SimFault& fault) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->faults.push_back({fault, fault.nth == 0 ? 1 : fault.nth});
}

void ModuleSimulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->faults.clear();
}

void ModuleSimulator::SetDiskPresent(bool present) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->diskPresent = present;
    if (!present) m_state->disk.DropOpenFile();
}

uint32_t ModuleSimulator::Rate() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->rate;
}

uint64_t ModuleSimulator::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->requestCount;
}

std::vector<SimInjectedFault> ModuleSimulator::TakeInjectedFaults() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<SimInjectedFault> out(m_state->injected.begin(), m_state->injected.end());
    m_state->injected.clear();
    return out;
}

SimModuleState ModuleSimulator::ModuleState() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const SimDisk& disk = m_state->disk;
    SimModuleState state;
    state.currentDir = disk.CurrentDir();
    state.fileOpen = disk.OpenHandle() != 0xFF;
    state.openFile = disk.OpenPath();
    state.handle = disk.OpenHandle();
    state.position = disk.Position();
    state.size = disk.OpenSize();
    state.clockOffset = m_state->clockOffset;
    return state;
}

std::vector<std::vector<uint8_t>> ModuleSimulator::Requests() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return {m_state->requests.begin(), m_state->requests.end()};
}

void ModuleSimulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->requests.clear();
}

bool ModuleSimulator::ReadDiskFile(const std::string& path, std::vector<uint8_t>* contents) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->disk.ReadFile(path, contents);
}

bool ModuleSimulator::WriteDiskFile(const std::string& path, const std::vector<uint8_t>& contents) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->disk.WriteFile(path, contents);
}

bool ModuleSimulator::DiskDirectoryExists(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->disk.DirectoryExists(path);
}
