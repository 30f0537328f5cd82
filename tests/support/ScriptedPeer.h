// A module played from a script on the master side of a pseudo-terminal:
// for each step it takes the given number of bytes from the program, keeps
// them for the test to check byte for byte, and then writes the step's
// answer (none: silence). It plays on a thread of its own, since the program
// under test blocks in its exchange meanwhile.
#ifndef TOVREL_TESTS_SUPPORT_SCRIPTEDPEER_H
#define TOVREL_TESTS_SUPPORT_SCRIPTEDPEER_H

#include <thread>
#include <vector>

#include "PtyPeer.h"

struct ScriptStep {
    size_t expect;  // bytes the program is to send for this step
    Bytes answer;   // written once they have come
};

class ScriptedPeer {
public:
    explicit ScriptedPeer(PtyPeer* pty) : m_pty(pty) {}
    ~ScriptedPeer() { Finish(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Starts playing; each step waits at most 3 s for its bytes.
    void Play(std::vector<ScriptStep> steps);
    // Waits for the script to end; the bytes each step received.
    std::vector<Bytes> Finish();

private:
    PtyPeer* m_pty;
    std::thread m_thread;
    std::vector<Bytes> m_received;
};

#endif
