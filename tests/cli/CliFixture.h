// Each client test's surroundings: a work folder of its own, a simulated
// module that the client finds as COM1, no other ports listed (so no search
// reaches the machine's own), and a lock directory of its own that must be
// empty again at the end: no client leaves a lock behind.
#ifndef TOVREL_TESTS_CLI_CLIFIXTURE_H
#define TOVREL_TESTS_CLI_CLIFIXTURE_H

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ModuleSimulator.h"

class CliFixture : public ::testing::Test {
protected:
    explicit CliFixture(const SimConfig& config = SimConfig()) : m_config(config) {}

    void SetUp() override {
        work = std::filesystem::temp_directory_path() / ("tovrel-cli-" + std::to_string(getpid()));
        std::filesystem::create_directories(work);
        Plug(m_config);
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

    // A new simulated module as COM1, as a port plugged back in, serving
    // `disk`, a folder that outlives it.
    void Replug(const std::filesystem::path& disk) {
        SimConfig config = m_config;
        config.diskFolder = disk.string();
        std::filesystem::create_directories(disk);
        Plug(config);
    }

    // Bytes that differ from chunk to chunk, so a misplaced chunk shows.
    static std::vector<uint8_t> Pattern(size_t n, unsigned seed = 0) {
        std::vector<uint8_t> out(n);
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 131 + i / 251 + seed);
        return out;
    }
    // Runs what in a child as another, unprivileged user (nobody, 65534):
    // a second user planting things where root will save. True if it
    // returned true there.
    static bool AsNobody(const std::function<bool()>& what) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                _exit(2);
            _exit(what() ? 0 : 1);
        }
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::filesystem::path work;
    std::filesystem::path locks;
    std::unique_ptr<ModuleSimulator> simulator;

private:
    void Plug(const SimConfig& config) {
        simulator.reset();
        simulator = std::make_unique<ModuleSimulator>(config);
        std::string error;
        ASSERT_TRUE(simulator->Start(&error)) << error;
        setenv("TOVREL_COM1", simulator->SlavePath().c_str(), 1);
    }

    SimConfig m_config;
};

#endif
