// TCP/IP discovery of the module simulator: hvmodsim answers the probe the way a module does.
// The probe multicasts, so CTest runs this only inside tests/netns/run-in-netns; anywhere else it
// is skipped and sends nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "../../netns/PrivateNetwork.h"
#include "../modsim/SimProcess.h"
#include "discovery/discover.h"

namespace {

bool sCollect(const linkSpec* spec, bool* found, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *found = true;
    return true;
}

TEST(DiscoveryProbe, FindsSimulatedTcpipModules) {
    HV_REQUIRE_PRIVATE_NETWORK();
    modsimtest::SimProcess sim;
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module", "serial=40F5849A,address=4,model=19",
                           "--module", "serial=0BADF00D,address=6,model=20", "--module",
                           "serial=40F5849B,link=serial"}))
        << sim.errors();
    const uint16_t portA = sim.tcpPort("40F5849A");
    const uint16_t portB = sim.tcpPort("0BADF00D");

    std::vector<linkSpec> seen;
    EXPECT_EQ(2, aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, inet_addr("192.0.2.1")));
    ASSERT_EQ(2u, seen.size()) << "only the modules with a TCP port answer";

    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x0BADF00D, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(TCPIP, spec->type);
    EXPECT_EQ(6u, spec->module);
    EXPECT_EQ(20u, spec->model);
    EXPECT_EQ(portB, spec->ip_port);
    EXPECT_EQ(inet_addr("192.0.2.1"), spec->ip_address);
    aLinkSpec_Destroy(&spec);

    spec = aDiscovery_FindModule(TCPIP, 0x40F5849A, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(4u, spec->module);
    EXPECT_EQ(19u, spec->model);
    EXPECT_EQ(portA, spec->ip_port);
    EXPECT_EQ(0x40F5849Au, spec->router_serial_num);
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(nullptr, aDiscovery_FindModule(TCPIP, 0x40F5849B, inet_addr("192.0.2.1")));
}

}  // namespace
