// A transfer stopped through its progress hook, against the simulated
// module: it ends after the chunk the hook was told of, with the total so
// far, and asks nothing more; hooks installed over one another come back
// with their own contexts.
#include <gtest/gtest.h>

#include "protocol/DiskCommands.h"
#include "protocol/TransferProgress.h"
#include "tests/commands/AgainstSimulator.h"

namespace {

Bytes Pattern(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 13 + i / 509);
    return out;
}

// Counts the chunks it is told of and asks to stop after the n-th.
struct StopAfter {
    uint32_t chunks;
    std::vector<uint32_t> seen;
    static bool Hook(uint32_t done, uint32_t /*total*/, void* context) {
        auto* self = static_cast<StopAfter*>(context);
        self->seen.push_back(done);
        return self->seen.size() < self->chunks;
    }
};

class TransferStop : public AgainstSimulator {
protected:
    void TearDown() override {
        SetTransferProgressHook(nullptr, nullptr);
        AgainstSimulator::TearDown();
    }

    // The commands of the requests since the last ClearRequests.
    std::vector<uint8_t> Commands() const {
        std::vector<uint8_t> out;
        for (const Bytes& r : simulator->Requests()) out.push_back(r[2]);
        return out;
    }
};

}  // namespace

TEST_F(TransferStop, AWriteEndsAfterTheChunkTheHookStopsAt) {
    const Bytes data = Pattern(3000);
    DiskFileHandle* file = DiskOpenFile("W.BIN");
    ASSERT_NE(file, nullptr);
    simulator->ClearRequests();
    StopAfter stop{2, {}};
    SetTransferProgressHook(&StopAfter::Hook, &stop);
    EXPECT_EQ(DiskWrite(data.data(), 3000, file), 1024u);
    EXPECT_EQ(stop.seen, (std::vector<uint32_t>{512, 1024}));
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x20, 0x20}));

    // The line is left between exchanges: the close is answered as usual.
    SetTransferProgressHook(nullptr, nullptr);
    EXPECT_EQ(DiskCloseFile(), 0);
    Bytes onDisk;
    ASSERT_TRUE(simulator->ReadDiskFile("W.BIN", &onDisk));
    EXPECT_EQ(onDisk, Bytes(data.begin(), data.begin() + 1024));
}

TEST_F(TransferStop, AReadEndsAfterTheChunkTheHookStopsAtAndKeepsWhatCame) {
    const Bytes data = Pattern(3000);
    ASSERT_TRUE(simulator->WriteDiskFile("R.BIN", data));
    DiskFileHandle* file = DiskOpenFile("R.BIN");
    ASSERT_NE(file, nullptr);
    simulator->ClearRequests();
    StopAfter stop{3, {}};
    SetTransferProgressHook(&StopAfter::Hook, &stop);
    Bytes back(3000, 0xEE);
    EXPECT_EQ(DiskRead(back.data(), 3000, file), 1536u);
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x30, 0x30}));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 1536), Bytes(data.begin(), data.begin() + 1536));
    EXPECT_EQ(back[1536], 0xEE);
}

TEST_F(TransferStop, AStopAfterTheLastChunkLosesNothing) {
    DiskFileHandle* file = DiskOpenFile("L.BIN");
    ASSERT_NE(file, nullptr);
    for (const uint32_t size : {1024u, 1000u}) {
        SCOPED_TRACE(size);
        const Bytes data = Pattern(size);
        ASSERT_EQ(DiskSeek(file, 0, 0), 0);
        simulator->ClearRequests();
        StopAfter stop{2, {}};
        SetTransferProgressHook(&StopAfter::Hook, &stop);
        EXPECT_EQ(DiskWrite(data.data(), size, file), size);
        EXPECT_EQ(stop.seen, (std::vector<uint32_t>{512, size}));
        EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x20, 0x20}));
    }
}

namespace {
struct CallLog {
    std::vector<const void*> contexts;
    static bool Hook(uint32_t, uint32_t, void* context) {
        static_cast<CallLog*>(context)->contexts.push_back(context);
        return true;
    }
};
}  // namespace

TEST_F(TransferStop, AnInnerHookRestoredGivesBackTheOuterWithItsOwnContext) {
    DiskFileHandle* file = DiskOpenFile("N.BIN");
    ASSERT_NE(file, nullptr);
    const Bytes data = Pattern(1024);
    CallLog outer, inner;
    const TransferProgressSlot none = SetTransferProgressHook(&CallLog::Hook, &outer);
    EXPECT_EQ(none.hook, nullptr);
    const TransferProgressSlot saved = SetTransferProgressHook(&CallLog::Hook, &inner);
    EXPECT_EQ(saved.context, &outer);

    EXPECT_EQ(DiskWrite(data.data(), 1024, file), 1024u);
    EXPECT_EQ(inner.contexts, (std::vector<const void*>{&inner, &inner}));
    EXPECT_TRUE(outer.contexts.empty());

    RestoreTransferProgressHook(saved);
    EXPECT_EQ(DiskWrite(data.data(), 1024, file), 1024u);
    EXPECT_EQ(outer.contexts, (std::vector<const void*>{&outer, &outer}));
    EXPECT_EQ(inner.contexts.size(), 2u);

    RestoreTransferProgressHook(none);
    EXPECT_EQ(DiskWrite(data.data(), 1024, file), 1024u);
    EXPECT_EQ(outer.contexts.size(), 2u);
}
