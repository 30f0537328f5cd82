// What the serial tests share: a journal of the layer's calls, a hook into
// it, Windows' way of reporting comm events, and a channel open on a fresh
// pseudo-terminal.
#ifndef TOVREL_TESTS_SERIAL_SERIALTESTSUPPORT_H
#define TOVREL_TESTS_SERIAL_SERIALTESTSUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/SerialChannel.h"
#include "serial/posix/CommEventMode.h"
#include "serial/posix/CommJournal.h"
#include "tests/support/PtyPeer.h"

// Records the platform calls made inside a scope.
class Journal {
public:
    Journal() {
        comm_journal::Clear();
        comm_journal::Enable(true);
    }
    ~Journal() {
        comm_journal::SetHook(nullptr, nullptr);
        comm_journal::Enable(false);
    }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    std::vector<std::string> Calls() const { return comm_journal::Entries(); }
    bool Saw(const std::string& call) const {
        for (const auto& c : comm_journal::Entries())
            if (c == call) return true;
        return false;
    }
    // Runs the hook as each call is recorded, before the call does anything.
    void OnCall(comm_journal::Hook hook, void* context) { comm_journal::SetHook(hook, context); }
};

// For one scope, WaitCommEvent reports only bytes that arrive once the mask
// is set, as on Windows.
class WindowsCommEvents {
public:
    WindowsCommEvents() { SetEdgeTriggeredCommEvents(true); }
    ~WindowsCommEvents() { SetEdgeTriggeredCommEvents(false); }
    WindowsCommEvents(const WindowsCommEvents&) = delete;
    WindowsCommEvents& operator=(const WindowsCommEvents&) = delete;
};

// A channel open on a fresh pseudo-terminal exported as COM1, at 9600.
class OpenChannel : public ::testing::Test {
protected:
    void SetUp() override {
        peer.ExportAs(1);
        channel.SelectPort(1);
        channel.SelectBaudRate(9600);
        ASSERT_EQ(channel.Open(8, 0, 0), kSerialOk);
    }
    PtyPeer peer;
    SerialChannel channel;
};

#endif
