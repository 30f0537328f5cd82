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
//
// The window offers only COM1 and COM2, so its tests move those two: a file
// LINKDIR/layout.request naming a layout relinks them and is then removed.
//   default  COM1 silent, COM2 the module at 19200 (as above)
//   window   COM1 the module with the disk, at 9600
//   paced    COM1 a module at 115200 that moves bytes at the line's speed,
//            on the same disk
//   nothing  COM1 silent, COM2 without a peer
//   two      COM1 a module at 9600, COM2 one at 115200, each tracing every
//            frame it gets to LINKDIR/trace1 and LINKDIR/trace2 (which
//            port took a request)
//
// It also types and clicks for the window tests, as a user would, on the X
// server the tests run on: a file LINKDIR/input.request holding an xdotool
// script is run and then removed (renamed input.failed when xdotool fails).
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
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

struct Peers {
    std::string silent, searched, disk, paced, first, second;
};

// Applies a layout request, if one is waiting; an unknown name is refused
// (the request stays, so the test that made it times out and says why).
void ApplyLayoutRequest(const std::string& linkDir, const Peers& peers) {
    const std::string request = linkDir + "/layout.request";
    std::ifstream in(request);
    std::string name;
    if (!in || !(in >> name)) return;
    const std::map<std::string, std::pair<std::string, std::string>> layouts = {
        {"default", {peers.silent, peers.searched}},
        {"window", {peers.disk, peers.searched}},
        {"paced", {peers.paced, peers.searched}},
        {"nothing", {peers.silent, ""}},
        {"two", {peers.first, peers.second}},
    };
    const auto layout = layouts.find(name);
    if (layout == layouts.end()) {
        std::fprintf(stderr, "wine-ports: no layout %s\n", name.c_str());
        return;
    }
    Link(linkDir, 1, layout->second.first);
    if (layout->second.second.empty())
        unlink((linkDir + "/com2").c_str());
    else
        Link(linkDir, 2, layout->second.second);
    unlink(request.c_str());
}

// Runs a waiting input script with xdotool; the file goes once its input
// has been sent, so the test that wrote it knows when to look.
void ApplyInputRequest(const std::string& linkDir) {
    const std::string request = linkDir + "/input.request";
    if (access(request.c_str(), F_OK) != 0) return;
    char program[] = "xdotool";
    std::string script = request;
    char* const args[] = {program, script.data(), nullptr};
    // Not with this program's stop signals blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    int status = -1;
    const bool spawned = posix_spawnp(&child, program, nullptr, &attributes, args, environ) == 0;
    posix_spawnattr_destroy(&attributes);
    if (!spawned || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "wine-ports: xdotool failed on this script:\n");
        std::ifstream in(request);
        for (std::string line; std::getline(in, line);) std::fprintf(stderr, "  %s\n", line.c_str());
        rename(request.c_str(), (linkDir + "/input.failed").c_str());
        return;
    }
    unlink(request.c_str());
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
    SimConfig paced = withDisk;
    paced.rate = 115200;
    paced.pace = true;
    std::FILE* traces[2] = {std::fopen((linkDir + "/trace1").c_str(), "w"), std::fopen((linkDir + "/trace2").c_str(), "w")};
    if (traces[0] == nullptr || traces[1] == nullptr) {
        std::fprintf(stderr, "wine-ports: cannot write the traces in %s\n", linkDir.c_str());
        return 1;
    }
    SimConfig first;
    first.trace = traces[0];
    SimConfig second = first;
    second.rate = 115200;
    second.trace = traces[1];
    ModuleSimulator searchedModule(searched), diskModule(withDisk), pacedModule(paced), firstModule(first),
        secondModule(second);
    if (!searchedModule.Start(&error) || !diskModule.Start(&error) || !pacedModule.Start(&error) ||
        !firstModule.Start(&error) || !secondModule.Start(&error)) {
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

    const Peers peers{silent.SlavePath(),      searchedModule.SlavePath(), diskModule.SlavePath(),
                      pacedModule.SlavePath(), firstModule.SlavePath(),    secondModule.SlavePath()};
    for (const char* request : {"/layout.request", "/input.request", "/input.failed"}) unlink((linkDir + request).c_str());
    const timespec interval{0, 10 * 1000 * 1000};
    while (sigtimedwait(&stopSignals, nullptr, &interval) < 0) {
        ApplyLayoutRequest(linkDir, peers);
        ApplyInputRequest(linkDir);
    }
    g_stopping = true;
    silentServer.join();
    loopbackServer.join();
    slowLoopbackServer.join();
    hangUpServer.join();
    searchedModule.Stop();
    diskModule.Stop();
    pacedModule.Stop();
    firstModule.Stop();
    secondModule.Stop();
    for (std::FILE* trace : traces) std::fclose(trace);
    for (int port = 1; port <= 7; ++port) unlink((linkDir + "/com" + std::to_string(port)).c_str());
    return 0;
}
