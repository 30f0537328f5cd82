#include "FastRate.h"

#include <ostream>

#include "CliParts.h"
#include "ModuleClock.h"
#include "protocol/ModuleSearch.h"
#include "protocol/ResponseReceiver.h"
#include "serial/SerialChannel.h"

namespace cli {

FastRate::~FastRate() {
    if (!m_moved) return;
    const Result r = End();
    if (!r.ok()) *m_session.err << r.message << '\n';
}

bool FastRate::ReadStatus(DeviceInfo* info) {
    ArmExchange();
    if (!DiskGetInfo(info)) return false;
    ClockOf(*info, &m_clock);
    m_clockAt = Clock::now();
    return info->baudIndex < 8;
}

void FastRate::MovePortTo(int rate) {
    // The line settings alone: reopening would pulse DTR and RTS and let the
    // port's lock go for a moment.
    theSerialChannel.SelectBaudRate(rate);
    theSerialChannel.ApplyLineSettings(rate, 8, 0, 0);
    theSerialChannel.SetLineInDoubt(true);
    m_session.baud = rate;
}

bool FastRate::SetRate(int index) {
    DeviceSettings settings = m_clock;
    settings.baudIndex = static_cast<uint8_t>(index);
    const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_clockAt).count();
    AdvanceClock(&settings, (passed + 500) / 1000);
    ArmExchange();
    if (!DiskSetParams(&settings)) return false;
    m_clock = settings;
    m_clockAt = Clock::now();
    MovePortTo(kModuleBaudRates[index]);
    return true;
}

bool FastRate::FindAndSet(int index) {
    const std::string port = theSerialChannel.m_pszPortName;
    int found = -1;
    DeviceInfo info{};
    if (!FindModuleOn(port.c_str(), &found, &info)) return false;
    m_session.baud = kModuleBaudRates[found];
    ClockOf(info, &m_clock);
    m_clockAt = Clock::now();
    return found == index || (SetRate(index) && ReadStatus(&info));
}

bool FastRate::AnswersAndIsAt(int index) {
    DeviceInfo info{};
    return ReadStatus(&info) && (info.baudIndex == index || (SetRate(index) && ReadStatus(&info)));
}

Result FastRate::Begin(int rate) {
    DeviceInfo info{};
    if (!ReadStatus(&info)) {
        if (info.baudIndex >= 8 && theResponseReceiver.m_outcome == ReceiveOutcome::kAnswered)
            return Failure(kExitNoAnswer, m_what + ": --fast: the module reports a rate Tovrel does not know (index " +
                                              std::to_string(info.baudIndex) + "); it stays as it is");
        return ExchangeFailure(m_what + ": --fast: reading the module's rate and clock");
    }
    m_ownIndex = info.baudIndex;
    m_fastIndex = BaudIndex(rate);
    if (m_fastIndex == m_ownIndex) return {};
    m_moved = true;
    if (SetRate(m_fastIndex) && ReadStatus(&info)) return {};
    *m_session.err << m_what << ": --fast: the module did not answer at " << rate << " bit/s; putting it back at "
                   << kModuleBaudRates[m_ownIndex] << " bit/s\n";
    const Result back = End();
    if (!back.ok()) return back;
    return Failure(kExitNoAnswer, m_what + ": --fast: " + std::to_string(rate) +
                                      " bit/s does not work on this line; nothing transferred");
}

Result FastRate::End() {
    if (!m_moved) return {};
    const int own = kModuleBaudRates[m_ownIndex];
    bool back = AnswersAndIsAt(m_ownIndex);
    if (!back) {
        // A rate change whose answer was lost may or may not have taken: the
        // module is at one of the two rates, or else anywhere.
        const int other = m_session.baud == own ? kModuleBaudRates[m_fastIndex] : own;
        MovePortTo(other);
        back = AnswersAndIsAt(m_ownIndex) || FindAndSet(m_ownIndex);
    }
    if (!back) {
        m_moved = false;  // said once
        const int at = m_session.baud;
        return Failure(kExitNoAnswer, m_what + ": --fast: the module could not be put back at " + std::to_string(own) +
                                          " bit/s and may be at " + std::to_string(at) +
                                          " bit/s: set it with `tovrel-cli --port " + theSerialChannel.m_pszPortName +
                                          " --baud " + std::to_string(at) + " set --rate " + std::to_string(own) + "`");
    }
    m_moved = false;
    *m_session.out << m_what << ": --fast: the module is back at " << own << " bit/s, its clock carried forward\n";
    return {};
}

}  // namespace cli
