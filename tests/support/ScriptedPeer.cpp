#include "ScriptedPeer.h"

void ScriptedPeer::Play(std::vector<ScriptStep> steps) {
    Finish();
    m_received.clear();
    m_thread = std::thread([this, steps = std::move(steps)] {
        for (const ScriptStep& step : steps) {
            Bytes got = m_pty->ReadExactly(step.expect, 3000);
            const bool whole = got.size() == step.expect;
            m_received.push_back(std::move(got));
            if (!whole) return;
            if (!step.answer.empty()) m_pty->Write(step.answer);
        }
    });
}

std::vector<Bytes> ScriptedPeer::Finish() {
    if (m_thread.joinable()) m_thread.join();
    return m_received;
}
