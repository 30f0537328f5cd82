// wine-ports: the Linux side of the Windows tests run under wine. It puts a
// fixed set of serial peers on pseudo-terminals and links each to
// LINKDIR/comN, the paths the wine prefix maps COM1..COM4 to:
//   COM1  a silent line: takes every byte, never answers
//   COM2  a simulated module at 19200 bit/s (what a port-and-rate search finds)
//   COM3  a simulated module at 9600 bit/s whose disk is DISKDIR
//   COM4  a loopback plug: every byte sent comes back
//   COM6  a slow loopback: every run of bytes comes back 400 ms later
// COM5 is left without a peer (a port whose device is gone). Prints "ready" once
// all are up and runs until SIGINT or SIGTERM.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "sim/ModuleSimulator.h"

namespace {

std::atomic<bool> g_stopping{false};

// A pseudo-terminal whose master a thread serves: echoing (loopback, after
// echoDelayMs) or discarding (silent).
struct LinePeer {
    int master = -1;
    int slave = -1;  // held so the master never reads a hang-up between opens
    std::string slavePath;
    std::thread server;
};

bool OpenLine(LinePeer* peer, std::string* error) {
    char name[128] = {};
    if (openpty(&peer->master, &peer->slave, name, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    termios raw{};
    tcgetattr(peer->slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(peer->slave, TCSANOW, &raw);
    peer->slavePath = name;
    return true;
}

void Serve(LinePeer* peer, bool echo, int echoDelayMs) {
    uint8_t buffer[4096];
    while (!g_stopping) {
        pollfd p{peer->master, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready <= 0) continue;
        const ssize_t n = read(peer->master, buffer, sizeof buffer);
        if (n <= 0) continue;  // EIO while no one holds the slave: wait for the next open
        if (!echo) continue;
        if (echoDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(echoDelayMs));
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(peer->master, buffer + done, static_cast<size_t>(n - done));
            if (w <= 0) break;
            done += w;
        }
    }
}

bool Link(const std::string& linkDir, int port, const std::string& target) {
    const std::string link = linkDir + "/com" + std::to_string(port);
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "wine-ports: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wine-ports LINKDIR DISKDIR\n");
        return 2;
    }
    const std::string linkDir = argv[1];

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    LinePeer silent, loopback, slowLoopback;
    if (!OpenLine(&silent, &error) || !OpenLine(&loopback, &error) || !OpenLine(&slowLoopback, &error)) {
        std::fprintf(stderr, "wine-ports: %s\n", error.c_str());
        return 1;
    }
    SimConfig searched;
    searched.rate = 19200;
    SimConfig withDisk;
    withDisk.rate = 9600;
    withDisk.diskFolder = argv[2];
    ModuleSimulator searchedModule(searched), diskModule(withDisk);
    if (!searchedModule.Start(&error) || !diskModule.Start(&error)) {
        std::fprintf(stderr, "wine-ports: %s\n", error.c_str());
        return 1;
    }
    for (int port = 1; port <= 6; ++port) unlink((linkDir + "/com" + std::to_string(port)).c_str());
    if (!Link(linkDir, 1, silent.slavePath) || !Link(linkDir, 2, searchedModule.SlavePath()) ||
        !Link(linkDir, 3, diskModule.SlavePath()) || !Link(linkDir, 4, loopback.slavePath) ||
        !Link(linkDir, 6, slowLoopback.slavePath))
        return 1;
    silent.server = std::thread(Serve, &silent, false, 0);
    loopback.server = std::thread(Serve, &loopback, true, 0);
    slowLoopback.server = std::thread(Serve, &slowLoopback, true, 400);
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    g_stopping = true;
    silent.server.join();
    loopback.server.join();
    slowLoopback.server.join();
    searchedModule.Stop();
    diskModule.Stop();
    for (int port = 1; port <= 6; ++port) unlink((linkDir + "/com" + std::to_string(port)).c_str());
    return 0;
}
