// Module::connect by serial number (discovery, then connect) against the module simulator, and
// the fallback to a link server search. Discovery multicasts, so CTest runs this executable only
// inside the private network namespace that tests/netns/run-in-netns makes (loopback and
// 192.0.2.1/24 and 192.0.2.2/24 on a veth pair); the fixture refuses to run anywhere else.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "../../netns/PrivateNetwork.h"
#include "../modsim/SimProcess.h"
#include "api/Module.h"
#include "api/System.h"
#include "discovery/aMulticast.h"
#include "discovery/discover.h"

using namespace Kestrova::Halvorine;
using modsimtest::SimProcess;

namespace {

const uint32_t kVethAddress = inet_addr("192.0.2.1");
const uint32_t kOtherVethAddress = inet_addr("192.0.2.2");
const uint32_t kLocalGroup = inet_addr("224.0.0.7");
constexpr uint32_t kServerRequestMagic = 0xABCDDCBA;

// A local link server's discovery side at index 0: holds the request port and answers each
// request with its specifier.
class LinkServerAnswer {
  public:
    explicit LinkServerAnswer(const linkSpec& spec) : spec_(spec) {
        requests_ = aMulticast_Create(aDISCOVERY_LOOPBACK, kLocalGroup, 9850, false);
        answers_ = aMulticast_Create(aDISCOVERY_LOOPBACK, kLocalGroup, 9950, true);
        thread_ = std::thread([this] { run(); });
    }
    ~LinkServerAnswer() {
        stop_ = true;
        thread_.join();
        aMulticast_Destroy(&requests_);
        aMulticast_Destroy(&answers_);
    }
    bool ready() const { return requests_ != nullptr && answers_ != nullptr; }
    int requests() const { return requests_seen_; }

  private:
    void run() {
        while (!stop_ && requests_) {
            uint8_t request[8];
            if (aMulticast_Receive(requests_, request, sizeof request) != 4) continue;
            uint32_t value;
            std::memcpy(&value, request, 4);
            if (value != kServerRequestMagic) continue;
            ++requests_seen_;
            uint8_t bytes[aLINKSPEC_SIZE];
            aLinkSpec_ToBytes(spec_, bytes);
            aMulticast_Send(answers_, bytes, sizeof bytes);
        }
    }
    linkSpec spec_;
    aMulticast* requests_ = nullptr;
    aMulticast* answers_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_seen_{0};
    std::thread thread_;
};

class ModuleDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        HV_REQUIRE_PRIVATE_NETWORK();
        ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module",
                               "serial=5EED0001,model=19,address=4,build=321,link=tcp"}))
            << sim.errors();
    }
    static void configure(Module& m, bool fallback) {
        aNexusConfig c;
        ASSERT_EQ(aErrNone, m.getConfig(&c));
        c.enabled = false;
        c.fallback = fallback;
        ASSERT_EQ(aErrNone, m.setConfig(c));
    }
    SimProcess sim;
};

TEST_F(ModuleDiscovery, ConnectBySerialNumber) {
    Module m(2, uint8_t(0));
    configure(m, false);
    ASSERT_EQ(aErrNone, m.connect(TCPIP, 0x5EED0001));
    EXPECT_TRUE(m.isConnected());
    EXPECT_EQ(4, m.getModuleAddress()) << "networking mode learns the address";
    linkSpec s;
    ASSERT_EQ(aErrNone, m.getLinkSpecifier(&s));
    EXPECT_EQ(TCPIP, s.type);
    EXPECT_EQ(kVethAddress, s.ip_address);
    SystemClass sys;
    sys.init(&m, 0);
    uint32_t serial = 0, build = 0;
    ASSERT_EQ(aErrNone, sys.getSerialNumber(&serial));
    EXPECT_EQ(0x5EED0001u, serial);
    ASSERT_EQ(aErrNone, sys.getBuild(&build));
    EXPECT_EQ(321u, build);
}

// With fallback set, a module the probe does not find is looked for among local link servers;
// the server found is a shared link, which a link with sharing off refuses.
TEST_F(ModuleDiscovery, FallbackSearchesLinkServers) {
    linkSpec* made = aLinkSpec_Create(ANEXUS_TCPIP);
    linkSpec server = *made;
    aLinkSpec_Destroy(&made);
    server.serial_num = 0x5EED0002;
    server.ip_address = aDISCOVERY_LOOPBACK;
    server.ip_port = 40000;
    LinkServerAnswer answer(server);
    ASSERT_TRUE(answer.ready());

    Module plain(2, uint8_t(0));
    configure(plain, false);
    EXPECT_EQ(aErrNotFound, plain.connect(TCPIP, 0x5EED0002));
    EXPECT_EQ(0, answer.requests()) << "searched link servers without fallback";

    Module falling(2, uint8_t(0));
    configure(falling, true);
    EXPECT_EQ(aErrConfiguration, falling.connect(TCPIP, 0x5EED0002));
    EXPECT_LE(1, answer.requests());
    EXPECT_FALSE(falling.isConnected());
    linkSpec s;
    ASSERT_EQ(aErrNone, falling.getLinkSpecifier(&s));
    EXPECT_EQ(ANEXUS_TCPIP, s.type) << "the server's specifier is stored";
}

}  // namespace
