// The TCP/IP probe: run only inside the private network namespace of tests/netns/run-in-netns,
// which CTest uses for this test; anywhere else it is skipped and sends nothing.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../../netns/PrivateNetwork.h"
#include "SimProcess.h"
#include "discovery/discover.h"

using namespace modsimtest;

TEST(ModsimProbe, AnswersTheProbeWithSixteenBytesToPort9889) {
    HV_REQUIRE_PRIVATE_NETWORK();
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module", "serial=40F5849A,address=4,model=19",
                           "--module", "serial=40F5849B,link=serial"}))
        << sim.errors();
    std::string where = sim.where("40F5849A", "tcp");
    ASSERT_EQ(where.rfind("192.0.2.1:", 0), 0u) << sim.readyLine();
    uint16_t port = sim.tcpPort("40F5849A");

    int lis = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lis, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = htons(9889);
    ASSERT_EQ(::bind(lis, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);

    int snd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr iface{};
    inet_pton(AF_INET, "192.0.2.1", &iface);
    ASSERT_EQ(setsockopt(snd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface), 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
    uint8_t probe[16] = {1};
    ASSERT_EQ(
        ::sendto(snd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
        16);

    pollfd p{lis, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    uint8_t ans[64];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(lis, ans, sizeof ans, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    ASSERT_EQ(n, 16);
    char src[32];
    inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
    EXPECT_STREQ(src, "192.0.2.1");
    Bytes got(ans, ans + 16);
    Bytes want{0x01, 0x04, uint8_t(port), uint8_t(port >> 8),
               0x9A, 0x84, 0xF5,          0x40,
               0xC0, 0x00, 0x02,          0x01,
               19,   0x00, 0x00,          0x00};
    EXPECT_EQ(got, want);
    // Only the module with a TCP port answers.
    EXPECT_EQ(poll(&p, 1, 200), 0);
    ::close(snd);
    ::close(lis);

    RawTcp tcp;
    ASSERT_EQ(tcp.connect(port, "192.0.2.1"), 0);
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
}

namespace {
bool collect(const linkSpec* spec, bool* found, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *found = true;
    return true;
}
}  // namespace

TEST(ModsimProbe, LibraryDiscoveryFindsTheModule) {
    HV_REQUIRE_PRIVATE_NETWORK();
    SimProcess sim;
    ASSERT_TRUE(
        sim.start({"--probe", "192.0.2.1", "--module", "serial=40F5849A,address=4,model=19"}))
        << sim.errors();
    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &found, inet_addr("192.0.2.1")), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, TCPIP);
    EXPECT_EQ(found[0].serial_num, 0x40F5849Au);
    EXPECT_EQ(found[0].module, 4u);
    EXPECT_EQ(found[0].model, 19u);
    EXPECT_EQ(found[0].ip_address, inet_addr("192.0.2.1"));
    EXPECT_EQ(found[0].ip_port, sim.tcpPort("40F5849A"));
}
