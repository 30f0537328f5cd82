#include "PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

PtyPeer::PtyPeer() {
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    m_slavePath = name;
    termios t{};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    tcsetattr(m_slave, TCSANOW, &t);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPeer::~PtyPeer() {
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
}

void PtyPeer::ExportAs(int portNumber) const {
    const std::string variable = "TOVREL_COM" + std::to_string(portNumber);
    setenv(variable.c_str(), m_slavePath.c_str(), 1);
}

Bytes PtyPeer::ReadExactly(size_t n, int waitMs) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buf[4096];
        const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        const ssize_t got = read(m_master, buf, want);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes PtyPeer::ReadUntilQuiet(int quietMs) {
    Bytes out;
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0) break;
        uint8_t buf[4096];
        const ssize_t got = read(m_master, buf, sizeof buf);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

void PtyPeer::Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{m_master, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) throw std::runtime_error("peer write stalled");
    }
}

bool PtyPeer::AwaitQueuedForProgram(size_t n, int waitMs) const {
    // The slave side's input queue is the one the program reads from.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int queued = 0;
        if (ioctl(m_slave, FIONREAD, &queued) != 0) return false;
        if (static_cast<size_t>(queued) >= n) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TermiosLine PtyPeer::Line() const {
    TermiosLine line;
    ReadTermiosLine(m_master, &line);
    return line;
}

void PtyPeer::StopSlaveOutput() { tcflow(m_slave, TCOOFF); }
void PtyPeer::ResumeSlaveOutput() { tcflow(m_slave, TCOON); }

void PtyPeer::HangUp() {
    if (m_master >= 0) close(m_master);
    m_master = -1;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
