// The simulated module as the program meets it: it answers only at its own
// rate, moves to a new rate after answering, records and traces frames, and
// runs from the command line, where its --link never replaces what is no
// link, never removes another simulator's, and never names a freed terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/Exchange.h"
#include "protocol/ModuleSearch.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"
#include "sim/SimDisk.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/Timing.h"

namespace {

class Simulated : public ::testing::Test {
protected:
    void Begin(SimConfig config) {
        simulator = std::make_unique<ModuleSimulator>(config);
        std::string error;
        ASSERT_TRUE(simulator->Start(&error)) << error;
        setenv("TOVREL_COM1", simulator->SlavePath().c_str(), 1);
        DiskProtocolReset();
    }
    void OpenAt(int rate) {
        ASSERT_TRUE(ReopenSerialChannel(1, rate));
    }
    // Open, with the opening's resynchronising status exchange done and
    // forgotten: the requests and trace that follow are the test's own.
    void OpenInStepAt(int rate) {
        OpenAt(rate);
        ASSERT_TRUE(BringLineInStep());
        simulator->ClearRequests();
    }
    void TearDown() override {
        theSerialChannel.Close(true);
        simulator.reset();
    }
    std::unique_ptr<ModuleSimulator> simulator;
};

}  // namespace

TEST_F(Simulated, AnswersOnlyAtItsOwnRate) {
    SimConfig config;
    config.rate = 38400;
    Begin(config);
    DeviceInfo info{};
    OpenAt(9600);
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_TRUE(simulator->Requests().empty());  // heard as noise
    OpenAt(56000);
    EXPECT_FALSE(DiskGetInfo(&info));
    OpenAt(38400);
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(kModuleBaudRates[info.baudIndex], 38400);
}

TEST_F(Simulated, NewRateTakesEffectAfterTheAnswer) {
    SimConfig config;
    config.rate = 9600;
    Begin(config);
    OpenAt(9600);
    const DeviceSettings settings = {5, 26, 1, 2, 3, 4, 5};  // 56000
    ASSERT_TRUE(DiskSetParams(&settings));  // answered at the old rate
    EXPECT_EQ(simulator->Rate(), 56000u);
    DeviceInfo info{};
    EXPECT_FALSE(DiskGetInfo(&info));
    OpenAt(56000);
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.baudIndex, 5);

    const DeviceSettings bad = {8, 26, 1, 2, 3, 4, 5};  // no such rate
    EXPECT_FALSE(DiskSetParams(&bad));
    EXPECT_EQ(simulator->Rate(), 56000u);
}

TEST_F(Simulated, RecordsWholeRequestsAndSkipsNoise) {
    Begin(SimConfig());
    OpenInStepAt(9600);
    const uint8_t noise[] = {0x00, 0x55, 0x13, 0x3A};
    theSerialChannel.Send(noise, sizeof noise);
    EXPECT_EQ(DiskMakeDir("D"), 0);
    const auto requests = simulator->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (Bytes{0x55, 0x3A, 0x50, 0xFF, 0x01, 0x00, 'D'}));
}

TEST_F(Simulated, AnUnfinishedRequestIsGivenUp) {
    Begin(SimConfig());
    OpenInStepAt(9600);
    const uint8_t header[] = {0x55, 0x3A, 0x50, 0xFF, 0x05, 0x00, 'A'};  // four name bytes short
    theSerialChannel.Send(header, sizeof header);
    usleep(700 * 1000);
    EXPECT_EQ(DiskMakeDir("B"), 0);
    EXPECT_TRUE(simulator->DiskDirectoryExists("B"));
    EXPECT_EQ(simulator->Requests().size(), 1u);
}

TEST_F(Simulated, TraceShowsEveryFrameWithItsDirection) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* trace = open_memstream(&text, &size);
    SimConfig config;
    config.trace = trace;
    Begin(config);
    OpenAt(9600);
    EXPECT_EQ(DiskSetCurrentDir("/"), 0);
    simulator.reset();
    std::fclose(trace);
    // After the opening's status exchange (its answer holds the clock).
    const std::string traced(text);
    EXPECT_EQ(traced.rfind("> 55 3A 00 00 00 00\n< 53 3A 00 00 0E 00 ", 0), 0u) << traced;
    const std::string cd = "> 55 3A 52 00 01 00 2F\n< 53 3A 52 00 00 00\n";
    EXPECT_EQ(traced.substr(traced.size() - std::min(traced.size(), cd.size())), cd);
    std::free(text);
}

TEST_F(Simulated, PacedLineTakesTheBytesTime) {
    SimConfig config;
    config.rate = 9600;
    config.pace = true;
    Begin(config);
    OpenAt(9600);
    DiskFileHandle* file = DiskOpenFile("P.BIN");
    ASSERT_NE(file, nullptr);
    const Bytes data(512, 0x33);
    const auto start = Clock::now();
    ASSERT_EQ(DiskWrite(data.data(), 512, file), 512u);
    // 518 + 8 bytes of 10 bits at 9600 bit/s: 548 ms on a real line.
    EXPECT_GE(ElapsedMs(start), 540);
}

// A name is taken whole: cut at its NUL, "KEEP.TXT\0.bak" would be KEEP.TXT.
TEST_F(Simulated, ANameWithANulIsRefusedWholeNotCutShort) {
    Begin(SimConfig());
    OpenAt(9600);
    ASSERT_TRUE(simulator->WriteDiskFile("KEEP.TXT", {'k'}));
    const std::string name("KEEP.TXT\0.bak", 13);
    for (const uint8_t command : {0x13, 0x10, 0x50, 0x52, 0x53}) {
        SCOPED_TRACE(int(command));
        uint8_t frame[8];
        PutCommandHeader(frame, command, 0xFF, static_cast<uint16_t>(name.size()));
        theSerialChannel.Send(frame, kFrameHeaderSize);
        theSerialChannel.Send(reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()));
        theResponseReceiver.SetDestination(frame, sizeof frame);
        ASSERT_TRUE(theResponseReceiver.ReceiveResponse());
        EXPECT_EQ(theResponseReceiver.m_status, kSimBadName);
    }
    std::vector<uint8_t> kept;
    EXPECT_TRUE(simulator->ReadDiskFile("KEEP.TXT", &kept));
    EXPECT_FALSE(simulator->DiskDirectoryExists("KEEP.TXT"));
}

namespace {

std::string SimulatorPath() { return std::string(TOVREL_SIM_PATH); }

// Runs tovrel-sim with the arguments; its first line of output.
struct Child {
    pid_t pid = -1;
    std::FILE* out = nullptr;
    std::string firstLine;
};

Child Launch(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        std::vector<char*> argv;
        std::string program = SimulatorPath();
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    child.out = fdopen(fds[0], "r");
    char line[512] = {};
    if (std::fgets(line, sizeof line, child.out) != nullptr) child.firstLine = line;
    return child;
}

// Its exit status; -1 when it ended otherwise, or still ran after 10 s
// (then it is killed).
int Wait(Child* child) {
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
        ended = waitpid(child->pid, &status, WNOHANG) == child->pid;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, &status, 0);
    }
    if (child->out != nullptr) std::fclose(child->out);
    child->out = nullptr;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "module on /dev/pts/3 at 9600 bit/s, disk ..." -> "/dev/pts/3"
std::string TerminalOf(const Child& child) {
    const size_t from = child.firstLine.find("module on ") + 10, to = child.firstLine.find(" at ");
    return from < to && to != std::string::npos ? child.firstLine.substr(from, to - from) : std::string();
}

// Where a symbolic link points; empty when there is none.
std::string LinkTarget(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// A folder of this test's own, removed with what is in it at the end.
struct WorkFolder {
    explicit WorkFolder(const char* stem)
        : path(std::filesystem::temp_directory_path() / (stem + std::to_string(getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~WorkFolder() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

}  // namespace

TEST(SimulatorProgram, LinksTheTerminalServesTheDiskFolderAndStopsOnSignal) {
    const std::filesystem::path work = std::filesystem::temp_directory_path() / ("tovrel-simprog-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "disk");
    std::ofstream(work / "disk" / "HELLO.TXT") << "hello";
    const std::string link = (work / "com1").string();

    Child child = Launch({"--disk", (work / "disk").string(), "--link", link, "--rate", "19200"});
    ASSERT_NE(child.firstLine.find("at 19200 bit/s"), std::string::npos) << child.firstLine;
    ASSERT_TRUE(std::filesystem::is_symlink(link));

    setenv("TOVREL_COM1", link.c_str(), 1);
    ASSERT_TRUE(ReopenSerialChannel(1, 19200));
    DiskProtocolReset();
    DiskFileHandle* file = DiskOpenFile("HELLO.TXT");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size, 5u);
    uint8_t got[8] = {};
    EXPECT_EQ(DiskRead(got, 8, file), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), "hello");
    EXPECT_EQ(DiskCloseFile(), 0);
    theSerialChannel.Close(true);

    kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(&child), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::filesystem::remove_all(work);
}

TEST(SimulatorProgram, FaultFlagsApply) {
    const std::string link = (std::filesystem::temp_directory_path() / ("tovrel-simfault-" + std::to_string(getpid()))).string();
    Child child = Launch({"--no-disk", "--link", link, "--fault", "status=7@2"});
    ASSERT_NE(child.firstLine.find("disk (none)"), std::string::npos) << child.firstLine;
    setenv("TOVREL_COM1", link.c_str(), 1);
    ASSERT_TRUE(ReopenSerialChannel(1, 9600));
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(info.diskPresent, 0);
    EXPECT_EQ(DiskDeleteFile("X"), 7);
    theSerialChannel.Close(true);
    kill(child.pid, SIGINT);
    EXPECT_EQ(Wait(&child), 0);
}

TEST(SimulatorProgram, RefusesBadArguments) {
    // Numbers are decimal and within their ranges: no hex, octal, sign or
    // blank, and a rate the module has.
    const struct {
        std::vector<std::string> args;
        int code;
    } kRows[] = {
        {{"--rate", "12345"}, 2},          {{"--rate", "0x2580"}, 2},
        {{"--rate", "-9600"}, 2},          {{"--rate", "9600 "}, 2},
        {{"--seed", "0x10"}, 2},           {{"--seed", "18446744073709551616"}, 2},
        {{"--fault", "silent=3"}, 2},      {{"--fault", "delay"}, 2},
        {{"--fault", "delay=0x10"}, 2},    {{"--fault", "silent@0"}, 2},
        {{"--fault", "silent@4294967296"}, 2}, {{"--fault", "status=0"}, 2},
        {{"--fault", "status=256"}, 2},    {{"--fault", "oversize=512"}, 2},
        {{"--fault", "garbage=5"}, 2},     {{"--fault", "garbage=0xAB"}, 2},
        {{"--fault", "short-read=70000"}, 2}, {{"--fault", "size=4294967296"}, 2},
        {{"--fault", "size=-1"}, 2},       {{"--fault", "random=0x0.1"}, 2},
        {{"--fault", "random=nan"}, 2},    {{"--bogus"}, 2},
        {{"--disk", "/no/such/folder"}, 1},
    };
    for (const auto& row : kRows) {
        Child child = Launch(row.args);
        EXPECT_EQ(Wait(&child), row.code) << row.args[0] << " " << (row.args.size() > 1 ? row.args[1] : "");
    }
}

// --link replaces only a missing path or a symbolic link; anything else
// there is refused (exit 2) and left as it was, with nothing added beside.
TEST(SimulatorProgram, LinkRefusesWhatIsNoSymbolicLink) {
    const WorkFolder work("tovrel-simlink-");
    const std::string link = (work.path / "com1").string();
    const struct {
        const char* what;
        bool (*plant)(const std::string& path);
    } kPlanted[] = {
        {"a file", [](const std::string& path) { return static_cast<bool>(std::ofstream(path) << "precious"); }},
        {"a folder", [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }},
        {"a FIFO", [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }},
    };
    for (const auto& planted : kPlanted) {
        ASSERT_TRUE(planted.plant(link)) << planted.what;
        struct stat before {};
        ASSERT_EQ(lstat(link.c_str(), &before), 0);
        Child child = Launch({"--no-disk", "--link", link});
        EXPECT_NE(child.firstLine.find("no symbolic link"), std::string::npos) << planted.what << ": " << child.firstLine;
        EXPECT_EQ(Wait(&child), 2) << planted.what;
        struct stat after {};
        ASSERT_EQ(lstat(link.c_str(), &after), 0) << planted.what;
        EXPECT_EQ(after.st_ino, before.st_ino) << planted.what;
        EXPECT_EQ(after.st_mode, before.st_mode) << planted.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work.path), {}), 1) << planted.what;
        if (S_ISREG(after.st_mode)) {
            std::ifstream in(link);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
        }
        std::filesystem::remove_all(link);
    }
}

// Two simulators on one link: the second takes it over, and the first,
// going, leaves the second's link alone.
TEST(SimulatorProgram, OneLinkTwoSimulatorsTheLastOneKeepsIt) {
    const WorkFolder work("tovrel-simtwo-");
    const std::string link = (work.path / "com1").string();
    Child first = Launch({"--no-disk", "--link", link});
    ASSERT_FALSE(TerminalOf(first).empty()) << first.firstLine;
    EXPECT_EQ(LinkTarget(link), TerminalOf(first));
    Child second = Launch({"--no-disk", "--link", link});
    ASSERT_FALSE(TerminalOf(second).empty()) << second.firstLine;
    EXPECT_EQ(LinkTarget(link), TerminalOf(second));

    kill(first.pid, SIGTERM);
    EXPECT_EQ(Wait(&first), 0);
    EXPECT_EQ(LinkTarget(link), TerminalOf(second));
    kill(second.pid, SIGTERM);
    EXPECT_EQ(Wait(&second), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// A hang-up frees the terminal, whose name the kernel hands to the next
// program: the simulator serves no more, and its link is gone before the
// program sees the line drop.
TEST(SimulatorProgram, AHangUpTakesTheLinkAway) {
    const WorkFolder work("tovrel-simhup-");
    const std::string link = (work.path / "com1").string();
    Child child = Launch({"--no-disk", "--link", link, "--fault", "hangup"});
    ASSERT_EQ(LinkTarget(link), TerminalOf(child)) << child.firstLine;
    setenv("TOVREL_COM1", link.c_str(), 1);
    ASSERT_TRUE(ReopenSerialChannel(1, 9600));
    DeviceInfo info{};
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    theSerialChannel.Close(true);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(Wait(&child), 0);
}

// `tovrel-sim --trace | head -1`: the reader goes, and the trace's next
// line ends the simulator as a signal does, its link and temporary disk
// folder removed.
TEST(SimulatorProgram, ABrokenTracePipeEndsItCleanly) {
    const WorkFolder work("tovrel-simpipe-");
    const std::string link = (work.path / "com1").string();
    Child child = Launch({"--trace", "--link", link});
    const size_t disk = child.firstLine.find("disk ") + 5, removed = child.firstLine.find(" (removed at exit)");
    ASSERT_LT(disk, removed) << child.firstLine;
    const std::string folder = child.firstLine.substr(disk, removed - disk);
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    std::fclose(child.out);
    child.out = nullptr;
    setenv("TOVREL_COM1", link.c_str(), 1);
    ASSERT_TRUE(ReopenSerialChannel(1, 9600));
    DeviceInfo info{};
    (void)DiskGetInfo(&info);  // answered or not, as the simulator ends meanwhile
    theSerialChannel.Close(true);
    EXPECT_EQ(Wait(&child), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_FALSE(std::filesystem::exists(folder));
}
