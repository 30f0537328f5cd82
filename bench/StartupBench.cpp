// startup_bench PATH_TO_TOVREL [RUNS]: time from starting the window's
// process to its window being on screen, and the process's resident memory
// then. Runs against the module simulator on a pseudo-terminal (COM1), on
// the platform QT_QPA_PLATFORM names (offscreen when unset).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/ModuleSimulator.h"

extern char** environ;

namespace {

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// One run: ms until "shown", and the RSS then; false when it never showed.
bool RunOnce(const char* program, double* ms, long* rssKiB) {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>("--report-shown"), nullptr};
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return false;
    }
    char buffer[64] = {};
    const ssize_t n = read(out[0], buffer, sizeof buffer - 1);  // blocks until the line (or exit)
    *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    *rssKiB = ResidentKiB(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return n > 0 && std::string(buffer).rfind("shown", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: startup_bench PATH_TO_TOVREL [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ModuleSimulator module(SimConfig{});
    std::string error;
    if (!module.Start(&error)) {
        std::fprintf(stderr, "startup_bench: %s\n", error.c_str());
        return 1;
    }
    setenv("TOVREL_COM1", module.SlavePath().c_str(), 1);

    std::vector<double> times;
    long rss = 0;
    for (int i = 0; i < runs; ++i) {
        double ms = 0;
        if (!RunOnce(argv[1], &ms, &rss)) {
            std::fprintf(stderr, "startup_bench: the window did not show\n");
            return 1;
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("window shown after %.0f ms median, %.0f ms worst of %d runs (platform %s); resident %ld KiB\n",
                times[times.size() / 2], times.back(), runs, std::getenv("QT_QPA_PLATFORM"), rss);
    return 0;
}
