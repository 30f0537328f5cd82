// A pseudo-terminal whose master side the test holds: the program opens the
// slave by path (as COM1 through TOVREL_COM1); the test reads what the
// program sent, answers, stays silent, stops the line or hangs it up.
#ifndef TOVREL_TESTS_SUPPORT_PTYPEER_H
#define TOVREL_TESTS_SUPPORT_PTYPEER_H

#include <cstdint>
#include <string>
#include <vector>

#include "serial/posix/TermiosLine.h"

using Bytes = std::vector<uint8_t>;

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }

    // Points TOVREL_COM<number> at this terminal.
    void ExportAs(int portNumber) const;

    // Reads exactly n bytes, giving up after waitMs; returns what came.
    Bytes ReadExactly(size_t n, int waitMs);
    // Reads until the line has been quiet for quietMs.
    Bytes ReadUntilQuiet(int quietMs);
    void Write(const Bytes& bytes);
    // Waits until at least n bytes are queued for the program to read;
    // false if they were not within waitMs.
    bool AwaitQueuedForProgram(size_t n, int waitMs) const;
    // The settings the program applied to the slave.
    TermiosLine Line() const;

    // Suspends (and resumes) output from the slave, so the program's writes
    // cannot leave the port.
    void StopSlaveOutput();
    void ResumeSlaveOutput();
    // Closes the master: the program's side is hung up for good.
    void HangUp();

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees a hang-up of its own
    std::string m_slavePath;
};

Bytes Concat(std::initializer_list<Bytes> parts);

#endif
