// The module commands' surroundings for tests against the simulated module:
// the simulator as COM1 at 115200 bit/s, the channel open on it and in step
// with it, no file open, and the same again for every test.
#ifndef TOVREL_TESTS_COMMANDS_AGAINSTSIMULATOR_H
#define TOVREL_TESTS_COMMANDS_AGAINSTSIMULATOR_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "protocol/DiskCommands.h"
#include "protocol/Exchange.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"
#include "sim/ModuleSimulator.h"
#include "tests/support/PtyPeer.h"

class AgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        SimConfig config;
        config.rate = 115200;
        simulator = std::make_unique<ModuleSimulator>(config);
        std::string error;
        ASSERT_TRUE(simulator->Start(&error)) << error;
        setenv("TOVREL_COM1", simulator->SlavePath().c_str(), 1);
        ASSERT_TRUE(ReopenSerialChannel(1, 115200));
        DiskProtocolReset();
        // Faults count requests from here: none for the opening's resync.
        ASSERT_TRUE(BringLineInStep());
    }
    void TearDown() override {
        theSerialChannel.Close(true);
        DiskProtocolReset();
        simulator.reset();
    }

    // Opens, writes, rewinds, reads back, closes.
    Bytes WriteAndReadBack(const char* name, const Bytes& data) {
        DiskFileHandle* file = DiskOpenFile(name);
        if (file == nullptr) return {};
        EXPECT_EQ(DiskWrite(data.data(), static_cast<uint32_t>(data.size()), file), data.size());
        EXPECT_EQ(DiskSeek(file, 0, 0), 0);
        Bytes back(data.size() + 16, 0xEE);
        EXPECT_EQ(DiskRead(back.data(), static_cast<uint32_t>(data.size()), file), data.size());
        EXPECT_EQ(back[data.size()], 0xEE);
        back.resize(data.size());
        EXPECT_EQ(DiskCloseFile(), 0);
        return back;
    }

    std::unique_ptr<ModuleSimulator> simulator;
};

#endif
