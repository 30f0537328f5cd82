// wine-ports: the Linux side of the Windows tests run under wine. It puts a
// fixed set of serial peers on pseudo-terminals and links each to
// LINKDIR/comN, the paths the wine prefix maps COM1..COM6 to:
//   COM1  a silent line: takes every byte, never answers
//   COM2  a simulated module at 19200 bit/s (what a port-and-rate search finds)
//   COM3  a simulated module at 9600 bit/s whose disk is DISKDIR
//   COM4  a loopback plug: every byte sent comes back
//   COM6  a slow loopback: every run of bytes comes back 400 ms later
//   COM7  a line that hangs up at the first bytes it gets, as an adapter
//         pulled mid-exchange, and is back (a fresh line) 200 ms later
// COM5 is left without a peer (a port whose device is gone). Prints "ready" once
// all are up and runs until SIGINT or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "sim/ModuleSimulator.h"
#include "tests/support/PtyPeer.h"

namespace {

std::atomic<bool> g_stopping{false};

// Serves a line's master side until stopped: echoing what comes (a loopback
// plug, after echoDelayMs) or discarding it (a silent line).
void Serve(PtyPeer* peer, bool echo, int echoDelayMs) {
    uint8_t buffer[4096];
    while (!g_stopping) {
        pollfd p{peer->MasterFd(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(peer->MasterFd(), buffer, sizeof buffer);
        if (n <= 0 || !echo) continue;
        if (echoDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(echoDelayMs));
        try {
            peer->Write(Bytes(buffer, buffer + n));
        } catch (const std::exception&) {
            // Nobody reads the port: the echo is lost, as on a real line.
        }
    }
}

bool Link(const std::string& linkDir, int port, const std::string& target);

// COM7: a fresh line each round, hung up as soon as bytes arrive, then
// replaced, so every test that pulls it meets the same.
void ServeHangUps(const std::string& linkDir) {
    while (!g_stopping) {
        PtyPeer line;
        if (!Link(linkDir, 7, line.SlavePath())) return;
        for (;;) {
            if (g_stopping) return;
            pollfd p{line.MasterFd(), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            uint8_t buffer[256];
            if (read(line.MasterFd(), buffer, sizeof buffer) > 0) break;
        }
        line.HangUp();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
    PtyPeer silent, loopback, slowLoopback;
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
    for (int port = 1; port <= 7; ++port) unlink((linkDir + "/com" + std::to_string(port)).c_str());
    if (!Link(linkDir, 1, silent.SlavePath()) || !Link(linkDir, 2, searchedModule.SlavePath()) ||
        !Link(linkDir, 3, diskModule.SlavePath()) || !Link(linkDir, 4, loopback.SlavePath()) ||
        !Link(linkDir, 6, slowLoopback.SlavePath()))
        return 1;
    std::thread silentServer(Serve, &silent, false, 0);
    std::thread loopbackServer(Serve, &loopback, true, 0);
    std::thread slowLoopbackServer(Serve, &slowLoopback, true, 400);
    std::thread hangUpServer(ServeHangUps, linkDir);
    for (int i = 0; i < 2000 && access((linkDir + "/com7").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    g_stopping = true;
    silentServer.join();
    loopbackServer.join();
    slowLoopbackServer.join();
    hangUpServer.join();
    searchedModule.Stop();
    diskModule.Stop();
    for (int port = 1; port <= 7; ++port) unlink((linkDir + "/com" + std::to_string(port)).c_str());
    return 0;
}
