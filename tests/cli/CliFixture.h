// Each client test's surroundings: a work folder of its own, a simulated
// module that the client finds as COM1, no other ports listed (so no search
// reaches the machine's own), and a lock directory of its own that must be
// empty again at the end: no client leaves a lock behind.
#ifndef TOVREL_TESTS_CLI_CLIFIXTURE_H
#define TOVREL_TESTS_CLI_CLIFIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/ModuleSimulator.h"

class CliFixture : public ::testing::Test {
protected:
    explicit CliFixture(const SimConfig& config = SimConfig()) : m_config(config) {}

    void SetUp() override {
        work = std::filesystem::temp_directory_path() / ("tovrel-cli-" + std::to_string(getpid()));
        std::filesystem::create_directories(work);
        simulator = std::make_unique<ModuleSimulator>(m_config);
        std::string error;
        ASSERT_TRUE(simulator->Start(&error)) << error;
        setenv("TOVREL_COM1", simulator->SlavePath().c_str(), 1);
        setenv("TOVREL_PORTS", "", 1);
        locks = std::filesystem::temp_directory_path() / ("tovrel-cli-locks-" + std::to_string(getpid()));
        std::filesystem::create_directories(locks);
        setenv("TOVREL_LOCK_DIR", locks.c_str(), 1);
    }
    void TearDown() override {
        simulator.reset();
        for (const auto& entry : std::filesystem::directory_iterator(locks))
            ADD_FAILURE() << "left behind: " << entry.path();
        std::filesystem::remove_all(locks);
        std::filesystem::remove_all(work);
    }

    std::filesystem::path work;
    std::filesystem::path locks;
    std::unique_ptr<ModuleSimulator> simulator;

private:
    SimConfig m_config;
};

#endif
