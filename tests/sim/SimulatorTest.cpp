// The simulated module as the program meets it: it answers only at its own
// rate, moves to a new rate after answering, records and traces frames, and
// runs from the command line.
#include <gtest/gtest.h>
#include <signal.h>
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

int Wait(Child* child) {
    int status = 0;
    waitpid(child->pid, &status, 0);
    std::fclose(child->out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--rate", "12345"}, {"--fault", "silent=3"}, {"--fault", "delay"},
          {"--fault", "garbage=5"}, {"--fault", "short-read=70000"}, {"--fault", "size=4294967296"},
          {"--bogus"}, {"--disk", "/no/such/folder"}}) {
        Child child = Launch(args);
        EXPECT_NE(Wait(&child), 0) << args[0];
    }
}
