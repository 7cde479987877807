// "-D" end to end over TCP/IP: discovery multicasts its probe, so these cases run only inside the
// private network namespace of tests/netns/run-in-netns (loopback and a veth pair with 192.0.2.1),
// where the simulator answers the probe from 192.0.2.1. Each case refuses to run
// anywhere else.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../netns/PrivateNetwork.h"
#include "ListingSupport.h"
#include "SimProcess.h"

using namespace listingtest;
using modsimtest::SimProcess;

namespace {

class NetworkListing : public ::testing::Test {
  protected:
    void SetUp() override { HV_REQUIRE_PRIVATE_NETWORK(); }

    TempDirectory work{"hv_listing_net"};
    SimProcess sim;
};

// A module that cannot be connected (its port refuses) still prints the columns: its version and
// build as zeros, its addresses as discovery found them.
TEST_F(NetworkListing, TcpipListShowsTheAddressColumn) {
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module",
                           "serial=40F50051,address=4,version=2.10.4,build=51,name=Net A",
                           "--module", "serial=40F50052,model=21,fault-busy=1"}))
        << sim.errors();
    ProgramResult r = RunUpdater(work, {"-D", "-t", "TCPIP"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> list = DeviceList(r.out);
    ASSERT_EQ(list.size(), 4u) << r.out;
    EXPECT_EQ(list[0], "Discovered Devices: (TCPIP)");
    EXPECT_EQ(list[1], kAddressHeader);
    std::vector<std::string> rows(list.begin() + 2, list.end());
    std::sort(rows.begin(), rows.end());
    const std::vector<std::string> want{
        "    40F50051  04       04      HV-Hub19       2.10.4 (        51)        [192.0.2.1]"
        "        Net A",
        "    40F50052  02       02      HV-Hub21       0.0.0 (         0)        [192.0.2.1]"
        "        "};
    EXPECT_EQ(rows, want) << r.out;
}

// Without "-t" the router is looked for on USB, then by the TCP/IP probe; found on neither, the
// list is empty and the exit status 0.
TEST_F(NetworkListing, RouterOnNeitherLinkListsNothing) {
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module", "serial=40F50061"})) << sim.errors();
    ProgramResult r = RunUpdater(work, {"-D", "-r", "40F5006F"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(DeviceList(r.out),
              (std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}))
        << r.out;
}

// A router reached over TCP/IP: its modules share its specifier from byte 24 on, so their rows
// show the router's IP address. The scan does not ask modules for their names.
TEST_F(NetworkListing, ModulesBehindATcpipRouterShowItsAddress) {
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module",
                           "serial=40F50070,address=2,model=16,version=2.12.0", "--module",
                           "serial=40F50074,address=4,behind=40F50070,version=2.10.4,build=74,"
                           "name=Far"}))
        << sim.errors();
    ProgramResult r = RunUpdater(work, {"-D", "-t", "TCPIP", "-r", "40F50070"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> want{
        "Discovered Devices: (TCPIP)", kAddressHeader,
        "    40F50074  04       02      HV-Hub19       2.10.4 (        74)        [192.0.2.1]"
        "        "};
    EXPECT_EQ(DeviceList(r.out), want) << r.out;
}

}  // namespace
