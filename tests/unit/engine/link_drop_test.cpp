// A TCP module that drops the connection: the link's reads fail (kLinkStatusIOError) because the
// stream cannot reconnect while nobody listens, and a reset reconnects once the module is back.
//
// Also run under ThreadSanitizer: the reader's reconnect must not race the writer's sends.
#include <gtest/gtest.h>

#include "engine/aLink.h"
#include "link_peer.h"

namespace {

TEST(LinkDrop, ResetReconnectsAfterTheModuleDroppedTheConnection) {
    linktest::TcpModule module;
    ASSERT_TRUE(module.listening());
    uint32_t id = aLink_CreateTCPIP(0x5678, linktest::loopbackAddress(), module.port());
    ASSERT_NE(id, 0u);
    ASSERT_NE(module.accept(), nullptr);

    module.goAway();
    linktest::waitForStatus(id, kLinkStatusIOError, 3000);
    ASSERT_EQ(aLink_GetStatus(id), kLinkStatusIOError);
    EXPECT_EQ(aLink_AwaitFirst(
                  id, [](const aPacket*, void*) { return true; }, nullptr, 5000),
              nullptr);
    module.comeBack();
    ASSERT_TRUE(module.listening());

    EXPECT_EQ(aLink_Reset(id), aErrNone);
    linktest::Peer* peer = module.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->waitFor(linktest::kRouteOn, 2000));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    linktest::expectPacketReaches(id, *peer, 0x61);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
