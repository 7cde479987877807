// Runs alone in its process: the id counter is process-wide.
#include <gtest/gtest.h>

#include "engine/packetfifo.h"

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
