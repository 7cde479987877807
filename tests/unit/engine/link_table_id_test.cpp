// Link ids: the first link of a process has id 1 and ids are never handed out twice, also not
// after a failed creation or a destroy. A test binary of its own, so that no other link was made
// earlier in the process.
#include <gtest/gtest.h>

#include <memory>

#include "engine/aLink.h"
#include "link_peer.h"

namespace {

uint32_t createOverSocketpair(std::unique_ptr<linktest::Peer>* peer) {
    aStream* stream = nullptr;
    int fd = linktest::makeSeqPacketPair(&stream);
    if (fd < 0) return 0;
    *peer = std::make_unique<linktest::Peer>(fd, linktest::Framing::Writes);
    return aLink_Create(stream);
}

TEST(LinkIds, StartAtOneAndAreNeverReused) {
    std::unique_ptr<linktest::Peer> peerA, peerB, peerC;
    uint32_t a = createOverSocketpair(&peerA);
    EXPECT_EQ(a, 1u);

    uint16_t port = 0;
    int probe = linktest::listenLoopback(&port);
    ASSERT_GE(probe, 0);
    ::close(probe);
    EXPECT_EQ(aLink_CreateTCPIP(0x99, linktest::loopbackAddress(), port), 0u);  // took id 2

    uint32_t b = createOverSocketpair(&peerB);
    EXPECT_EQ(b, 3u);
    EXPECT_EQ(aLink_Destroy(&b), aErrNone);
    uint32_t c = createOverSocketpair(&peerC);
    EXPECT_EQ(c, 4u);
    EXPECT_EQ(aLink_Destroy(&c), aErrNone);
    EXPECT_EQ(aLink_Destroy(&a), aErrNone);
}

}  // namespace
