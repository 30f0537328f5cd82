// tovrel-cli and its ports: the port list, the search past COM1 and COM2,
// the kernel's console left alone unless named, a port that goes away
// (exit 9), a second client refused with the holder or the unreadable lock
// file named, standard descriptors closed at the start that the port never
// becomes, and a lock
// directory it cannot write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "serial/SerialPorts.h"
#include "serial/posix/PortNames.h"
#include "serial/posix/UucpLock.h"
#include "tests/cli/CliFixture.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/PtyPeer.h"

namespace fs = std::filesystem;

namespace {

class Ports : public CliFixture {};

// The module's trace in a file: every byte that reached it besides whole
// request frames shows as "> (noise)". A base of its own, so that the file
// is there before the fixture's simulator starts.
struct TraceFile {
    TraceFile() : file(std::tmpfile()) {}
    ~TraceFile() { std::fclose(file); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;
    static SimConfig Traced(std::FILE* file) {
        SimConfig config;
        config.trace = file;
        return config;
    }
    // From byte `from` on.
    std::string Text(size_t from = 0) const {
        std::string text(1 << 16, '\0');
        const ssize_t n = pread(fileno(file), text.data(), text.size(), static_cast<off_t>(from));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }
    std::FILE* file;
};

class TracedPorts : protected TraceFile, public CliFixture {
protected:
    TracedPorts() : CliFixture(Traced(file)) {}
};

// A strict reader of one JSON text (RFC 8259, UTF-8): whether `text` is
// exactly one value, each string's value collected in UTF-8. Written apart
// from the client's encoder, so that one cannot vouch for the other.
class StrictJson {
public:
    static bool Read(const std::string& text, std::vector<std::string>* strings) {
        StrictJson json{text, 0, strings};
        return json.Value() && json.m_at == text.size();
    }

private:
    StrictJson(const std::string& text, size_t at, std::vector<std::string>* strings)
        : m_text(text), m_at(at), m_strings(strings) {}
    int Peek() const { return m_at < m_text.size() ? static_cast<unsigned char>(m_text[m_at]) : -1; }
    bool Take(char c) { return Peek() == static_cast<unsigned char>(c) ? (++m_at, true) : false; }
    void Blanks() {
        while (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r') ++m_at;
    }
    bool Value() {
        Blanks();
        bool ok = false;
        if (Take('{') || Take('[')) {
            const bool object = m_text[m_at - 1] == '{';
            Blanks();
            ok = Take(object ? '}' : ']');
            while (!ok) {
                if (object) {
                    Blanks();
                    if (!String()) return false;
                    Blanks();
                    if (!Take(':')) return false;
                }
                if (!Value()) return false;
                if (Take(object ? '}' : ']')) ok = true;
                else if (!Take(',')) return false;
            }
        } else if (Peek() == '"') {
            ok = String();
        } else {
            static const std::regex kNumber("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][-+]?[0-9]+)?|true|false|null");
            std::smatch match;
            const std::string rest = m_text.substr(m_at);
            ok = std::regex_search(rest, match, kNumber, std::regex_constants::match_continuous);
            m_at += ok ? match.length() : 0;
        }
        Blanks();
        return ok;
    }
    static void Append(std::string* out, unsigned cp) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
            return;
        }
        static const unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
        const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        *out += static_cast<char>(kLead[tail] | (cp >> (6 * tail)));
        for (int k = tail - 1; k >= 0; --k) *out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    bool Hex4(unsigned* cp) {
        if (m_at + 4 > m_text.size()) return false;
        const std::string digits = m_text.substr(m_at, 4);
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        *cp = static_cast<unsigned>(std::stoul(digits, nullptr, 16));
        m_at += 4;
        return true;
    }
    bool String() {
        if (!Take('"')) return false;
        std::string value;
        for (int c = Peek(); c != '"'; c = Peek()) {
            if (c < 0x20) return false;  // the end, or a raw control character
            ++m_at;
            unsigned cp = 0;
            if (c == '\\') {
                const int e = Peek();
                ++m_at;
                static const std::map<int, char> kEscapes = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
                                                             {'f', '\f'}, {'n', '\n'},   {'r', '\r'}, {'t', '\t'}};
                const auto simple = kEscapes.find(e);
                if (simple != kEscapes.end()) {
                    cp = static_cast<unsigned char>(simple->second);
                } else if (e != 'u' || !Hex4(&cp)) {
                    return false;
                }
                if (e == 'u' && cp >= 0xD800 && cp < 0xDC00) {  // a pair, or nothing
                    unsigned low = 0;
                    if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (e == 'u' && cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
            } else if (c >= 0x80) {
                // Decoded, then held to the shortest form and the range of code points.
                const int tail = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
                if (tail < 0 || c >= 0xF8) return false;
                cp = static_cast<unsigned>(c) & (0x3F >> tail);
                for (int k = 0; k < tail; ++k, ++m_at) {
                    if (Peek() < 0x80 || Peek() > 0xBF) return false;
                    cp = (cp << 6) | (static_cast<unsigned>(Peek()) & 0x3F);
                }
                const unsigned shortest[] = {0, 0x80, 0x800, 0x10000};
                if (cp < shortest[tail] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            } else {
                cp = static_cast<unsigned>(c);
            }
            Append(&value, cp);
        }
        ++m_at;
        m_strings->push_back(value);
        return true;
    }

    const std::string& m_text;
    size_t m_at;
    std::vector<std::string>* m_strings;
};

}  // namespace

TEST_F(Ports, ListsThePortsBesidesCom1AndCom2AsTextAndJson) {
    PtyPeer first, second;
    std::vector<std::string> names = {first.SlavePath(), second.SlavePath()};
    std::sort(names.begin(), names.end(), SerialPortNameLess);
    // COM1's device (the simulator) is given too, and still not listed.
    setenv("TOVREL_PORTS", (second.SlavePath() + ":" + simulator->SlavePath() + ":" + first.SlavePath()).c_str(), 1);

    CliResult r = RunCli("ports");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, names[0] + "  pseudo-terminal\n" + names[1] + "  pseudo-terminal\n");

    r = RunCli("--json ports");
    EXPECT_EQ(r.code, 0) << r.output;
    const std::string entry = R"(", "description": "pseudo-terminal", "vendor": "", "model": "", "serial": ""})";
    EXPECT_EQ(r.output, "[{\"name\": \"" + names[0] + entry + ", {\"name\": \"" + names[1] + entry + "]\n");

    // The shell has it too; none listed is no failure.
    setenv("TOVREL_PORTS", "", 1);
    r = RunCli("--json ports");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "[]\n");
    r = RunCli("shell", "ports\n");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "ports: no serial ports besides COM1 and COM2\n");
}

TEST_F(Ports, SearchGoesOnToTheListedPortsAndPortTakesTheirNames) {
    const std::string module = simulator->SlavePath();
    setenv("TOVREL_COM1", "/nonexistent", 1);
    setenv("TOVREL_PORTS", module.c_str(), 1);
    CliResult r = RunCli("search");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "COM2: cannot be opened\ntrying " + module + " at 4800 bit/s\n")) << r.output;
    EXPECT_TRUE(Contains(r.output, "found: " + module + " at 9600 bit/s\nport: " + module + "\n")) << r.output;

    // A found port is one --port takes.
    r = RunCli("--port " + module + " info");
    EXPECT_EQ(r.code, 0) << r.output;

    // Nothing opens: every port is named in the failure.
    setenv("TOVREL_PORTS", "/dev/null", 1);
    r = RunCli("--json search");
    EXPECT_EQ(r.code, 5) << r.output;
    EXPECT_EQ(r.output, "search: none of COM1, COM2 or /dev/null could be opened\n");
}

// COM1 is /dev/ttyS0 here, made the console by the list that replaces the
// kernel's (no test can make a terminal one): the client says it leaves it
// alone, and never opens it unless named.
TEST_F(Ports, TheKernelsConsoleIsLeftAloneAndSaidSoUnlessNamed) {
    struct stat st {};
    if (stat("/dev/ttyS0", &st) != 0) GTEST_SKIP() << "no /dev/ttyS0 to stand for the console";
    std::ofstream(work / "consoles") << "ttyS0                -W- (EC  p a)    " << major(st.st_rdev) << ':'
                                     << minor(st.st_rdev) << '\n';
    setenv("TOVREL_PROC_CONSOLES", (work / "consoles").c_str(), 1);
    unsetenv("TOVREL_COM1");
    setenv("TOVREL_COM2", "/nonexistent", 1);
    const std::string module = simulator->SlavePath();
    const std::string told = "COM1: not searched: it is the kernel's console (name it to use it: --port 1, or set TOVREL_COM1)\n";
    struct Row {
        const char* args;
        const char* ports;  // TOVREL_PORTS
        int code;
        std::string shown;  // a part of the output
    };
    const Row rows[] = {
        {"search", module.c_str(), 0, told + "trying COM2 at 4800 bit/s\n"},
        {"--json search", "", 5, told},
        {"--trace search", "", 5, told},
        {"search", "", 5, told + "trying COM2 at 4800 bit/s\nCOM2: cannot be opened\n"
                                 "search: COM2 could not be opened; COM1 not searched: the kernel's console\n"},
        {"info", "", 5, "cannot open COM1: it is the kernel's console (name it to use it: --port 1, or set TOVREL_COM1)\n"},
    };
    for (const Row& row : rows) {
        setenv("TOVREL_PORTS", row.ports, 1);
        const CliResult r = RunCli(row.args);
        EXPECT_EQ(r.code, row.code) << row.args << ": " << r.output;
        EXPECT_TRUE(Contains(r.output, row.shown)) << row.args << ": " << r.output;
    }
    unsetenv("TOVREL_PROC_CONSOLES");
    unsetenv("TOVREL_COM2");
}

TEST_F(Ports, APortThatGoesAwayIsLostNotUnanswered) {
    simulator->ArmFault({SimFault::kHangUp, 0, {}, 1, false});
    CliResult r = RunCli("info");
    EXPECT_EQ(r.code, 9) << r.output;
    EXPECT_TRUE(Contains(r.output, "info: port lost: COM1 went away")) << r.output;
}

TEST_F(Ports, ATransferCutByALostPortIsLost) {
    std::ofstream(work / "in.bin", std::ios::binary) << std::string(3000, 'x');
    // The opening's status exchange, delete, open, one chunk, then the line goes.
    simulator->ArmFault({SimFault::kHangUp, 0, {}, 5, false});
    const CliResult r = RunCli("put " + (work / "in.bin").string() + " CUT.BIN");
    EXPECT_EQ(r.code, 9) << r.output;
    EXPECT_TRUE(Contains(r.output, "put: port lost: COM1 went away (adapter pulled, or the line hung up); 512 of 3000 bytes written"))
        << r.output;
}

TEST_F(Ports, ASecondClientIsRefusedWithTheHolderNamed) {
    CliProcess holder({"shell"});
    ASSERT_TRUE(holder.Started());
    holder.Input("info\n");
    const std::string lockFile = UucpLockPath(ResolvedPath(simulator->SlavePath()));
    ASSERT_EQ(fs::path(lockFile).parent_path(), locks);
    for (int i = 0; i < 200 && !Contains(holder.Output(), "rate: 9600"); ++i) usleep(10000);
    ASSERT_TRUE(Contains(holder.Output(), "rate: 9600")) << holder.Output();
    char pid[16];
    std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(holder.Pid()));
    EXPECT_EQ(Slurp(lockFile), pid);

    CliResult r = RunCli("info");
    EXPECT_EQ(r.code, 5) << r.output;
    EXPECT_EQ(r.output, "cannot open COM1: held by process " + std::to_string(holder.Pid()) + "\n");
    // The holder's lock as a program that writes more than its PID would:
    // refused all the same, naming the file for a user who knows better.
    std::ofstream(lockFile, std::ios::trunc) << std::string(pid, 10) << " otherprog user\n";
    r = RunCli("info");
    EXPECT_EQ(r.code, 5) << r.output;
    EXPECT_TRUE(Contains(r.output, "cannot open COM1: held: its lock file " + lockFile + " names no process")) << r.output;
    std::ofstream(lockFile, std::ios::trunc) << pid;

    holder.CloseInput();
    ASSERT_TRUE(holder.Wait(5000));
    EXPECT_FALSE(fs::exists(lockFile));
    EXPECT_EQ(RunCli("info").code, 0);
}

// As a user who cannot write the lock directory, the client opens the port
// with flock alone and says so under --trace only.
TEST_F(Ports, UnwritableLockDirectoryLeavesFlockAloneAndTraceSaysSo) {
    ASSERT_EQ(chmod(simulator->SlavePath().c_str(), 0666), 0);
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    CliResult r = RunCli("--trace info", "", asNobody);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "note: COM1 is held by flock alone, without a lock file: " + locks.string() +
                                       " is not writable: Permission denied\n"))
        << r.output;
    r = RunCli("info", "", asNobody);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_FALSE(Contains(r.output, "note:")) << r.output;
}

// Started without standard input, output or error, the client never takes
// the port (or a PC file) as one of them: its own text never reaches the
// line, and a disk file whose bytes spell a delete frame, shown by `read`,
// deletes nothing. Output to the closed standard output is still lost
// (exit 10); a closed error output alone is no failure.
TEST_F(TracedPorts, ClosedStandardDescriptorsAreNeverThePort) {
    const std::string victim = "VICTIM.TXT";
    std::vector<uint8_t> evil = {0x55, 0x3A, 0x13, 0x00, static_cast<uint8_t>(victim.size()), 0x00};
    for (const char c : victim) evil.push_back(static_cast<uint8_t>(c));  // GCC 12 at -O3 misjudges insert()'s bounds
    ASSERT_TRUE(simulator->WriteDiskFile("EVIL.BIN", evil));
    ASSERT_TRUE(simulator->WriteDiskFile(victim, {'k'}));
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::vector<int> closed;
        int code;
        std::string said;
    } kRows[] = {
        {{"info"}, "", {1}, 10, "info: standard output is closed; what it printed is lost\n"},
        {{"--trace", "info"}, "", {2}, 0, "rate: 9600"},
        {{"info"}, "", {0, 1, 2}, 10, ""},
        {{"shell"}, "open EVIL.BIN\nread 64\n", {1}, 10, "shell: standard output is closed; stopped\n"},
        {{"shell"}, "", {0}, 0, ""},
    };
    for (const auto& row : kRows) {
        const std::string name = row.args.back() + " without " + std::to_string(row.closed.size()) + " from " +
                                 std::to_string(row.closed.front());
        const size_t traced = Text().size();
        CliProcess cli(row.args, false, row.closed);
        cli.Input(row.input);
        cli.CloseInput();
        const std::optional<int> status = cli.Wait(20000);
        ASSERT_TRUE(status) << name;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == row.code) << name << ": " << *status << cli.Output();
        EXPECT_TRUE(Contains(cli.Output(), row.said)) << name << ": " << cli.Output();
        EXPECT_FALSE(Contains(Text(traced), "(noise)")) << name << ":\n" << Text(traced);
        std::vector<uint8_t> kept;
        EXPECT_TRUE(simulator->ReadDiskFile(victim, &kept)) << name;
    }
}

// --json is valid JSON whatever bytes a port's name holds (a Linux device
// path may hold any but '/' and NUL): quotes and backslashes escaped,
// control characters as \u00XX, a byte that is not UTF-8 as U+FFFD. Each
// command prints one line, in the shell too.
TEST_F(Ports, JsonIsValidForAnyPortNameAndOneLineACommand) {
    const fs::path folder = work / "ports";
    fs::create_directories(folder);
    const std::string controls = std::string("nl\ntab\tbell\x07" "del\x7f") + '\x01';
    const std::string hostile[] = {"q\"uo\\te", controls,
                                   "bad\xff\xc0\xaf end", "surrogate\xed\xa0\x80 cut\xe6\x88",
                                   "\xf4\x90\x80\x80 past", "串口 ok"};
    const std::string fffd = "\xef\xbf\xbd";
    const std::string decoded[] = {"q\"uo\\te", controls,
                                   "bad" + fffd + fffd + fffd + " end",
                                   "surrogate" + fffd + fffd + fffd + " cut" + fffd + fffd,
                                   fffd + fffd + fffd + fffd + " past", "串口 ok"};
    std::string list;
    std::vector<std::string> expected;
    for (size_t i = 0; i < std::size(hostile); ++i) {
        const fs::path link = folder / hostile[i];
        fs::create_symlink(simulator->SlavePath(), link);
        list += (list.empty() ? "" : ":") + link.string();
        expected.push_back((folder / decoded[i]).string());
    }
    std::sort(expected.begin(), expected.end());
    setenv("TOVREL_PORTS", list.c_str(), 1);
    setenv("TOVREL_COM1", "/nonexistent", 1);
    setenv("TOVREL_COM2", "/nonexistent", 1);
    const std::string named = (folder / hostile[0]).string();

    struct Row {
        std::string args;
        std::string input;
        size_t lines;
    };
    const Row rows[] = {
        {"--json ports", "", 1},
        {"--json --port '" + named + "' info", "", 1},
        {"--json search", "", 1},
        {"--json --port '" + named + "' shell", "info\nports\nsearch\n", 3},
    };
    for (const Row& row : rows) {
        const CliResult r = RunCli(row.args, row.input);
        EXPECT_EQ(r.code, 0) << row.args << ": " << r.output;
        std::vector<std::string> lines, strings;
        for (size_t from = 0, to; (to = r.output.find('\n', from)) != std::string::npos; from = to + 1)
            lines.push_back(r.output.substr(from, to - from));
        EXPECT_EQ(lines.size(), row.lines) << row.args << ": " << r.output;
        EXPECT_EQ(r.output.back(), '\n') << row.args;
        for (const std::string& line : lines) EXPECT_TRUE(StrictJson::Read(line, &strings)) << row.args << ": " << line;
        // Every port's name, or the one that answered, comes out as named.
        std::vector<std::string> names;
        for (const std::string& name : expected)
            if (std::find(strings.begin(), strings.end(), name) != strings.end()) names.push_back(name);
        EXPECT_EQ(names.size(), Contains(row.args, "info") || row.args == "--json search" ? 1 : expected.size())
            << row.args << ": " << r.output;
    }
    unsetenv("TOVREL_COM2");
}
