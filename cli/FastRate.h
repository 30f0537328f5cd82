// --fast: a transfer at a faster rate than the module's own, the module put
// back at its own rate afterwards.
//
// The rate and the clock travel in one command, so the module's clock is
// read first and sent back with each change, carried forward by the time
// that has passed. Begin: read the module's status at the session's rate,
// set the new rate, move the port there (its line settings, without
// reopening it), and check the line with a status exchange. End: read the
// clock again, set the old rate, move the port back, check again. Where a
// rate does not answer, the module is looked for on its port at every rate
// and put back at the rate it had. The module is never left at a rate the
// user did not choose without the output saying so, and how to set it.
//
// Ending signals stop a transfer between two chunks (CtrlCStop); End runs
// after it, within its exchanges' waits, before the client ends.
#ifndef TOVREL_CLI_FASTRATE_H
#define TOVREL_CLI_FASTRATE_H

#include <chrono>
#include <cstdint>
#include <string>

#include "Cli.h"
#include "protocol/DeviceCommands.h"

namespace cli {

constexpr int kFastestRate = 115200;

class FastRate {
public:
    // `what` begins the messages ("put").
    FastRate(Session& s, std::string what) : m_session(s), m_what(std::move(what)) {}
    ~FastRate();
    FastRate(const FastRate&) = delete;
    FastRate& operator=(const FastRate&) = delete;

    // Moves module and port to `rate`. A failure leaves the module at its own
    // rate (or says where it is) and nothing else done: the transfer is not
    // to start.
    Result Begin(int rate);
    // Puts module and port back, once; says on stdout where the module was
    // left. A failure: the module could not be put back, and how to do it.
    Result End();

private:
    using Clock = std::chrono::steady_clock;
    // Sets the module's rate (index) with its clock carried forward, and
    // moves the port after it. False when the set went unanswered or
    // refused; the port then stays where it was.
    bool SetRate(int index);
    // The module's status at the port's rate, its clock noted.
    bool ReadStatus(DeviceInfo* info);
    // Finds the module on its port at any rate and sets it to `index`.
    bool FindAndSet(int index);
    // The module answers at the port's rate, and is (or is now set) at `index`.
    bool AnswersAndIsAt(int index);
    void MovePortTo(int rate);

    Session& m_session;
    std::string m_what;
    bool m_moved = false;   // the module may be away from its own rate
    int m_ownIndex = -1;    // the module's rate before Begin
    int m_fastIndex = -1;   // the rate Begin moves it to
    DeviceSettings m_clock{};  // its clock at m_clockAt
    Clock::time_point m_clockAt;
};

}  // namespace cli

#endif
