// The port-and-rate search against the simulated module: it meets the
// module where it is, skips a port that cannot be opened at once, and goes
// on from COM1 and COM2 to the listed ports, and leaves out a kernel's
// console that the user did not name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"
#include "tests/support/Timing.h"

namespace {

struct Attempts {
    std::vector<std::pair<int, int>> tried;
    std::vector<int> skipped;
    static void Hook(int port, int baud, void* context) { static_cast<Attempts*>(context)->tried.emplace_back(port, baud); }
    static void Skip(int port, void* context) { static_cast<Attempts*>(context)->skipped.push_back(port); }
};

}  // namespace

TEST(ModuleSearch, FindsTheModuleOnCom2At38400WhenCom1IsAbsent) {
    SimConfig config;
    config.rate = 38400;
    ModuleSimulator simulator(config);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    setenv("TOVREL_COM1", "/nonexistent/tovrel-com1", 1);
    setenv("TOVREL_COM2", simulator.SlavePath().c_str(), 1);

    Attempts attempts;
    ModuleFound found;
    const auto start = Clock::now();
    ASSERT_TRUE(SearchModule(&found, &Attempts::Hook, &attempts));
    EXPECT_EQ(found.portIndex, 1);
    EXPECT_EQ(found.baudIndex, 4);
    EXPECT_EQ(kModuleBaudRates[found.info.baudIndex], 38400);
    // COM1 fails to open at its first rate; COM2 answers at its fifth.
    EXPECT_EQ(attempts.tried, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}}));
    EXPECT_LT(ElapsedMs(start), 4 * 2000 + 1500);  // four silent rates, no more
    // The channel stays where the module answered.
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 38400);
    EXPECT_NE(theSerialChannel.m_hComm, nullptr);
    theSerialChannel.Close(true);
    unsetenv("TOVREL_COM2");
}

TEST(ModuleSearch, GivesUpAtOnceWhenNeitherPortOpens) {
    setenv("TOVREL_COM1", "/nonexistent/tovrel-com1", 1);
    setenv("TOVREL_COM2", "/nonexistent/tovrel-com2", 1);
    ModuleFound found;
    const auto start = Clock::now();
    EXPECT_FALSE(SearchModule(&found));
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(theSerialChannel.m_hComm, nullptr);
    unsetenv("TOVREL_COM2");
}

TEST(ModuleSearch, GoesOnFromCom1AndCom2ToTheListedPortsInTheirOrder) {
    SimConfig config;
    config.rate = 9600;
    ModuleSimulator simulator(config);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    setenv("TOVREL_COM1", "/nonexistent/tovrel-com1", 1);
    setenv("TOVREL_COM2", "/nonexistent/tovrel-com2", 1);
    // A listed port that has gone since the list was made ends its part too.
    const std::vector<std::string> listed = {"/nonexistent/tovrel-usb0", simulator.SlavePath()};

    Attempts attempts;
    ModuleFound found;
    ASSERT_TRUE(SearchModule(listed, &found, &Attempts::Hook, &attempts));
    EXPECT_EQ(found.portIndex, 3);
    EXPECT_EQ(found.portName, simulator.SlavePath());
    EXPECT_EQ(found.baudIndex, 1);
    EXPECT_EQ(attempts.tried, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 1}}));
    EXPECT_EQ(theSerialChannel.m_pszPortName, simulator.SlavePath());
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 9600);
    theSerialChannel.Close(true);

    // Where COM2 answers, the listed ports are not tried.
    setenv("TOVREL_COM2", simulator.SlavePath().c_str(), 1);
    attempts.tried.clear();
    ASSERT_TRUE(SearchModule(listed, &found, &Attempts::Hook, &attempts));
    EXPECT_EQ(found.portIndex, 1);
    EXPECT_EQ(found.portName, "COM2");
    EXPECT_EQ(attempts.tried.back(), std::make_pair(1, 1));
    theSerialChannel.Close(true);
    unsetenv("TOVREL_COM2");
}

// The module answers behind the console: unnamed, the search never opens
// it; named for the run, it is searched like any other port.
TEST(ModuleSearch, LeavesOutAKernelConsoleNobodyNamed) {
    SimConfig config;
    config.rate = 4800;
    ModuleSimulator simulator(config);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(simulator.SlavePath().c_str(), &st), 0);
    // No test can make a terminal a console: the kernel's list is replaced.
    const auto consoles = std::filesystem::temp_directory_path() / ("tovrel-consoles-" + std::to_string(getpid()));
    std::ofstream(consoles) << "ttyS0                -W- (EC  p a)    " << major(st.st_rdev) << ':' << minor(st.st_rdev)
                            << '\n';
    setenv("TOVREL_PROC_CONSOLES", consoles.c_str(), 1);
    unsetenv("TOVREL_PORTS");
    setenv("TOVREL_COM1", "/nonexistent/tovrel-com1", 1);
    setenv("TOVREL_COM2", "/nonexistent/tovrel-com2", 1);
    const std::vector<std::string> listed = {simulator.SlavePath()};

    Attempts attempts;
    SearchOptions options;
    options.attempted = &Attempts::Hook;
    options.skipped = &Attempts::Skip;
    options.context = &attempts;
    ModuleFound found;
    EXPECT_FALSE(SearchModule(listed, &found, options));
    EXPECT_EQ(attempts.tried, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}}));
    EXPECT_EQ(attempts.skipped, std::vector<int>{2});
    EXPECT_EQ(found.skippedPorts, std::vector<int>{2});
    EXPECT_EQ(theSerialChannel.m_hComm, nullptr);

    attempts = Attempts{};
    options.namedPort = listed[0].c_str();
    ASSERT_TRUE(SearchModule(listed, &found, options));
    EXPECT_EQ(found.portIndex, 2);
    EXPECT_TRUE(found.skippedPorts.empty());
    EXPECT_TRUE(attempts.skipped.empty());
    theSerialChannel.Close(true);
    unsetenv("TOVREL_PROC_CONSOLES");
    unsetenv("TOVREL_COM2");
    std::filesystem::remove(consoles);
}
