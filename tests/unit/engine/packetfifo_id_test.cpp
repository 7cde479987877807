// Runs alone in its process: the id counter is process-wide, and the exit-time case needs a
// process of its own.
#include <gtest/gtest.h>

#include "engine/packetfifo.h"

namespace {

// An object with static lifetime, made before any FIFO exists, that retires a FIFO from its
// destructor at exit (as a process-wide link table would). The FIFO service must still work then.
struct ExitTimeUser {
    aPacketFifoId id = 0;
    ~ExitTimeUser() {
        if (!id) return;
        aPacket* p = aPacket_Create();
        aPacketFifo_Put(id, p);
        aPacket_Destroy(&p);
        if (aPacketFifo_Destroy(&id) != aErrNone) abort();
    }
} gExitTimeUser;

}  // namespace

TEST(PacketFifoFirstId, FirstFifoOfAProcessIsOne) {
    aPacketFifoId first = aPacketFifo_Create();
    aPacketFifoId second = aPacketFifo_Create();
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(aPacketFifo_Destroy(&first), aErrNone);
    EXPECT_EQ(aPacketFifo_Destroy(&second), aErrNone);
    // Ids are never reused.
    aPacketFifoId third = aPacketFifo_Create();
    EXPECT_EQ(third, 3u);
    aPacketFifo_Destroy(&third);
}

TEST(PacketFifoExit, UsableFromStaticDestructors) {
    gExitTimeUser.id = aPacketFifo_Create();
    ASSERT_NE(gExitTimeUser.id, 0u);
    // The check happens when the process exits: a crash or abort there fails this test.
}
