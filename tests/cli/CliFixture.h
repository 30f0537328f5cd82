// Each client test's surroundings: a work folder of its own and a simulated
// module that the client finds as COM1.
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
    }
    void TearDown() override {
        simulator.reset();
        std::filesystem::remove_all(work);
    }

    std::filesystem::path work;
    std::unique_ptr<ModuleSimulator> simulator;

private:
    SimConfig m_config;
};

#endif
