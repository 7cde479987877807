// Network discovery against small answering peers: the TCP/IP probe, the local multicast search
// for link servers and the beacon search. These tests multicast and broadcast, so CTest runs this
// executable only inside a private network namespace (tests/netns/run-in-netns: loopback and
// 192.0.2.1/24 on a veth pair); each fixture refuses to run anywhere else.
#include <arpa/inet.h>
#include <czmq.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../netns/PrivateNetwork.h"
#include "discovery/aMulticast.h"
#include "discovery/discover.h"
#include "discovery/zBeaconInterface.h"
#include "engine/aTime.h"

namespace {

const uint32_t kVethAddress = inet_addr("192.0.2.1");
const uint32_t kOtherVethAddress = inet_addr("192.0.2.2");
const uint32_t kLocalGroup = inet_addr("224.0.0.7");
constexpr uint32_t kMagic = 0xABCDDCBA;

class PrivateNetwork : public ::testing::Test {
  protected:
    void SetUp() override { HV_REQUIRE_PRIVATE_NETWORK(); }
};

struct Seen {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0;  // 0: never stop
    bool markFound = true;
};

bool sCollect(const linkSpec* spec, bool* found, void* ref) {
    Seen* seen = static_cast<Seen*>(ref);
    EXPECT_FALSE(*found) << "found must be false on entry";
    seen->specs.push_back(*spec);
    *found = seen->markFound;
    return seen->stopAfter == 0 || seen->specs.size() < seen->stopAfter;
}

// ---------------------------------------------------------------------------------------------
// TCP/IP probe

// A module's probe endpoint: answers each 16-byte probe with the configured datagrams, sent to
// the prober's answer port.
class ProbePeer {
  public:
    explicit ProbePeer(std::vector<std::vector<uint8_t>> answers) : answers_(std::move(answers)) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(9888);
        EXPECT_EQ(0, bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local));
        // Joined on both interfaces: each probe reaches it as its own interface's loopback copy.
        for (uint32_t iface : {kVethAddress, kOtherVethAddress}) {
            ip_mreq join{};
            join.imr_multiaddr.s_addr = inet_addr("232.2.2.2");
            join.imr_interface.s_addr = iface;
            EXPECT_EQ(0, setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join));
        }
        timeval wait{0, 50000};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        thread_ = std::thread([this] { run(); });
    }
    ~ProbePeer() {
        stop_ = true;
        thread_.join();
        close(socket_);
    }
    int probes() const { return probes_; }
    // The source addresses of the probes heard so far.
    std::set<uint32_t> sources() const {
        std::lock_guard<std::mutex> hold(lock_);
        return sources_;
    }

  private:
    void run() {
        while (!stop_) {
            uint8_t probe[32];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(socket_, probe, sizeof probe, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (got != 16 || probe[0] != 1) continue;
            ++probes_;
            {
                std::lock_guard<std::mutex> hold(lock_);
                sources_.insert(from.sin_addr.s_addr);
            }
            from.sin_port = htons(9889);
            for (const auto& answer : answers_)
                sendto(socket_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       sizeof from);
        }
    }
    std::vector<std::vector<uint8_t>> answers_;
    int socket_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0};
    mutable std::mutex lock_;
    std::set<uint32_t> sources_;
    std::thread thread_;
};

// An answer: address, TCP port and serial little-endian, model at 12; `size` bytes of it.
std::vector<uint8_t> sAnswer(uint8_t address, uint16_t port, uint32_t serial, uint8_t model,
                             size_t size) {
    std::vector<uint8_t> a(16, 0);
    a[0] = 0x5A;
    a[1] = address;
    a[2] = port & 0xFF;
    a[3] = port >> 8;
    for (int i = 0; i < 4; ++i) a[4 + i] = static_cast<uint8_t>(serial >> (8 * i));
    a[8] = 0xEE;
    a[12] = model;
    a.resize(size);
    return a;
}

using TcpipProbe = PrivateNetwork;

TEST_F(TcpipProbe, NoAnswerEndsAfterOneTwoSecondWait) {
    Seen seen;
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(0, aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, aDISCOVERY_LOOPBACK));
    const uint64_t elapsed = aTime_GetMSTicks() - start;
    EXPECT_TRUE(seen.specs.empty());
    EXPECT_GE(elapsed, 1950u);
    EXPECT_LT(elapsed, 3500u);
}

TEST_F(TcpipProbe, AnswersBecomeSpecifiersInArrivalOrder) {
    // A full answer, a 12-byte one (no model byte) and one too short to name a module.
    ProbePeer peer({sAnswer(4, 8701, 0x40F5849A, 0x13, 16),
                    sAnswer(6, 0x1234, 0x0BADF00D, 0x13, 12), sAnswer(7, 1, 0x11111111, 0x13, 5)});
    Seen seen;
    EXPECT_EQ(2, aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, kVethAddress));
    EXPECT_EQ(1, peer.probes()) << "one probe through the named interface";
    ASSERT_EQ(2u, seen.specs.size());
    const linkSpec& a = seen.specs[0];
    EXPECT_EQ(TCPIP, a.type);
    EXPECT_EQ(0x40F5849Au, a.serial_num);
    EXPECT_EQ(0x40F5849Au, a.router_serial_num);
    EXPECT_EQ(4u, a.module);
    EXPECT_EQ(4u, a.router);
    EXPECT_EQ(0x13u, a.model);
    EXPECT_EQ(8701u, a.ip_port);
    EXPECT_EQ(kVethAddress, a.ip_address);
    for (size_t i = 0; i < 96; ++i) EXPECT_EQ(0, a.port_name[4 + i]) << "unused byte " << i;
    const linkSpec& b = seen.specs[1];
    EXPECT_EQ(0x0BADF00Du, b.serial_num);
    EXPECT_EQ(255u, b.model);
    EXPECT_EQ(0x1234u, b.ip_port);
    EXPECT_EQ(6u, b.module);
}

// Every non-loopback address sends a probe, and answers are not filtered: a module that hears
// the probe from both addresses is reported twice.
TEST_F(TcpipProbe, EveryInterfaceIsProbed) {
    ProbePeer peer({sAnswer(4, 8701, 0x01020304, 0x13, 16)});
    Seen seen;
    const int count = aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, aDISCOVERY_LOOPBACK);
    EXPECT_EQ((std::set<uint32_t>{kVethAddress, kOtherVethAddress}), peer.sources());
    EXPECT_EQ(peer.probes(), count);
    EXPECT_GE(count, 2);
    for (const linkSpec& spec : seen.specs) EXPECT_EQ(0x01020304u, spec.serial_num);
}

// Something that keeps sending to the answer port cannot keep the search going for ever. (A
// fixture of its own: CTest runs it in parallel with the other probe tests.)
using TcpipFlood = PrivateNetwork;

TEST_F(TcpipFlood, EndlessDatagramsEndTheSearchInTime) {
    std::atomic<bool> stop{false};
    std::thread stray([&stop] {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9889);
        to.sin_addr.s_addr = kVethAddress;
        const std::vector<uint8_t> junk = sAnswer(4, 1, 0x0000000C, 0x13, 3);
        while (!stop) {
            sendto(s, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            aTime_MSSleep(300);
        }
        close(s);
    });
    Seen seen;
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(0, aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, aDISCOVERY_LOOPBACK));
    const uint64_t elapsed = aTime_GetMSTicks() - start;
    stop = true;
    stray.join();
    EXPECT_TRUE(seen.specs.empty()) << "3-byte datagrams name no module";
    EXPECT_GE(elapsed, 9900u);
    EXPECT_LT(elapsed, 11500u);
}

// The callback contract: stop after the first specifier, counting only what was marked found.
TEST_F(TcpipProbe, CallbackStopsAndCounts) {
    ProbePeer peer({sAnswer(4, 1, 0xA, 0x13, 16), sAnswer(5, 1, 0xB, 0x13, 16)});
    struct Case {
        bool mark;
        int expected;
    } cases[] = {{true, 1}, {false, 0}};
    for (const Case& c : cases) {
        Seen seen;
        seen.stopAfter = 1;
        seen.markFound = c.mark;
        const uint64_t start = aTime_GetMSTicks();
        EXPECT_EQ(c.expected, aDiscovery_EnumerateModules(TCPIP, sCollect, &seen, 0));
        EXPECT_EQ(1u, seen.specs.size());
        EXPECT_LT(aTime_GetMSTicks() - start, 1500u) << "a stop ends the wait for answers";
    }
}

TEST_F(TcpipProbe, FindersPickTheMatchingModule) {
    ProbePeer peer(
        {sAnswer(0, 1, 0, 0x13, 16), sAnswer(4, 1, 0xA, 0x13, 16), sAnswer(5, 2, 0xB, 0x14, 16)});
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0xB, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(0xBu, spec->serial_num);
    EXPECT_EQ(0x14u, spec->model);
    EXPECT_EQ(2u, spec->ip_port);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&spec));
    spec = aDiscovery_FindFirstModule(TCPIP, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(0xAu, spec->serial_num) << "serial number 0 is passed over";
    aLinkSpec_Destroy(&spec);
}

// ---------------------------------------------------------------------------------------------
// Local multicast search for link servers

// A link server's local discovery endpoint at one port-pair index.
class LocalServerPeer {
  public:
    LocalServerPeer(int index, const linkSpec& spec) : spec_(spec) {
        requests_ = aMulticast_Create(aDISCOVERY_LOOPBACK, kLocalGroup, 9850 + index, false);
        answers_ = aMulticast_Create(aDISCOVERY_LOOPBACK, kLocalGroup, 9950 + index, true);
        EXPECT_NE(nullptr, requests_);
        EXPECT_NE(nullptr, answers_);
        thread_ = std::thread([this] { run(); });
    }
    ~LocalServerPeer() {
        stop_ = true;
        thread_.join();
        aMulticast_Destroy(&requests_);
        aMulticast_Destroy(&answers_);
    }

  private:
    void run() {
        while (!stop_ && requests_) {
            uint8_t request[8];
            if (aMulticast_Receive(requests_, request, sizeof request) != 4) continue;
            uint32_t value;
            memcpy(&value, request, 4);
            if (value != kMagic) continue;
            uint8_t bytes[128];
            aLinkSpec_ToBytes(spec_, bytes);
            aMulticast_Send(answers_, bytes, sizeof bytes);
        }
    }
    linkSpec spec_;
    aMulticast* requests_ = nullptr;
    aMulticast* answers_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

linkSpec sServerSpec(linkType type, uint32_t serial, uint32_t address, uint16_t port) {
    linkSpec* made = aLinkSpec_Create(type);
    linkSpec spec = *made;
    aLinkSpec_Destroy(&made);
    spec.serial_num = serial;
    spec.model = 0x13;
    spec.module = 2;
    spec.ip_address = address;
    spec.ip_port = port;
    return spec;
}

using LocalServers = PrivateNetwork;

TEST_F(LocalServers, ServersAreFoundInIndexOrder) {
    // Started in the other order, so that the result order is the index order.
    LocalServerPeer three(3, sServerSpec(ANEXUS_USB, 0x33333333, aDISCOVERY_LOOPBACK, 40003));
    LocalServerPeer zero(0, sServerSpec(ANEXUS_TCPIP, 0x00000001, aDISCOVERY_LOOPBACK, 40000));
    Seen seen;
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(2, aDiscovery_EnumerateModules(ANEXUS, sCollect, &seen, aDISCOVERY_LOOPBACK));
    const uint64_t elapsed = aTime_GetMSTicks() - start;
    ASSERT_EQ(2u, seen.specs.size());
    EXPECT_EQ(0x00000001u, seen.specs[0].serial_num);
    EXPECT_EQ(ANEXUS_TCPIP, seen.specs[0].type);
    EXPECT_EQ(40000u, seen.specs[0].ip_port);
    EXPECT_EQ(0x33333333u, seen.specs[1].serial_num);
    EXPECT_EQ(ANEXUS_USB, seen.specs[1].type);
    EXPECT_LT(elapsed, 1500u) << "free indices cost a bind attempt, not a wait";
}

TEST_F(LocalServers, NonLocalAndRepeatedAnswersAreSkipped) {
    const linkSpec same = sServerSpec(ANEXUS_USB, 0x12345678, aDISCOVERY_LOOPBACK, 40001);
    LocalServerPeer remote(1, sServerSpec(ANEXUS_USB, 0x0000000A, kVethAddress, 40001));
    LocalServerPeer first(2, same);
    LocalServerPeer again(5, same);
    Seen seen;
    EXPECT_EQ(1, aDiscovery_EnumerateModules(ANEXUS_SERIAL, sCollect, &seen, 0));
    ASSERT_EQ(1u, seen.specs.size());
    EXPECT_EQ(0x12345678u, seen.specs[0].serial_num);
    EXPECT_EQ(0, memcmp(&same, &seen.specs[0], sizeof same)) << "all 128 bytes carried";
}

TEST_F(LocalServers, NoServerNoCallback) {
    Seen seen;
    EXPECT_EQ(0, aDiscovery_EnumerateModules(ANEXUS, sCollect, &seen, aDISCOVERY_LOOPBACK));
    EXPECT_TRUE(seen.specs.empty());
}

TEST_F(LocalServers, StopAfterTheFirstServer) {
    LocalServerPeer zero(0, sServerSpec(ANEXUS_USB, 0x1, aDISCOVERY_LOOPBACK, 40000));
    LocalServerPeer one(1, sServerSpec(ANEXUS_USB, 0x2, aDISCOVERY_LOOPBACK, 40001));
    Seen seen;
    seen.stopAfter = 1;
    seen.markFound = false;
    EXPECT_EQ(0, aDiscovery_EnumerateModules(ANEXUS, sCollect, &seen, aDISCOVERY_LOOPBACK));
    EXPECT_EQ(1u, seen.specs.size());
}

TEST_F(LocalServers, MulticastEndpointCodes) {
    aMulticast* receiver = aMulticast_Create(0, kLocalGroup, 9877, false);
    ASSERT_NE(nullptr, receiver);
    EXPECT_EQ(nullptr, aMulticast_Create(0, kLocalGroup, 9877, false)) << "port held";
    aMulticast* sender = aMulticast_Create(0, kLocalGroup, 9877, true);
    ASSERT_NE(nullptr, sender);
    uint8_t buffer[8];
    EXPECT_EQ(-3, aMulticast_Send(receiver, "x", 1));
    EXPECT_EQ(-3, aMulticast_Receive(sender, buffer, sizeof buffer));
    EXPECT_EQ(-2, aMulticast_Send(nullptr, "x", 1));
    EXPECT_EQ(-2, aMulticast_Receive(nullptr, buffer, sizeof buffer));
    EXPECT_EQ(3, aMulticast_Send(sender, "abc", 3));
    EXPECT_EQ(3, aMulticast_Receive(receiver, buffer, sizeof buffer));
    EXPECT_EQ(0, memcmp(buffer, "abc", 3));
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(-1, aMulticast_Receive(receiver, buffer, sizeof buffer)) << "time-out";
    EXPECT_GE(aTime_GetMSTicks() - start, 950u);
    EXPECT_EQ(0, aMulticast_Destroy(&receiver));
    EXPECT_EQ(nullptr, receiver);
    EXPECT_EQ(-2, aMulticast_Destroy(&receiver));
    EXPECT_EQ(0, aMulticast_Destroy(&sender));
}

// ---------------------------------------------------------------------------------------------
// Beacon search

// A link server's beacon: hears the discovery beacon and then announces its specifier every
// 100 ms, the way a server does while a client searches.
class BeaconPeer {
  public:
    explicit BeaconPeer(const linkSpec& spec) {
        aCZMQ_Prepare();
        EXPECT_TRUE(zBeaconInterface_backupSetAndLock("192.0.2.1"));
        actor_ = zactor_new(zbeacon, nullptr);
        if (actor_) zsock_send(actor_, "si", "CONFIGURE", 8585);
        char* host = actor_ ? zstr_recv(actor_) : nullptr;
        zBeaconInterface_restoreAndUnlock();
        EXPECT_STREQ("192.0.2.1", host);
        zstr_free(&host);
        aLinkSpec_ToBytes(spec, bytes_);
        zsock_send(actor_, "sb", "SUBSCRIBE", "Halvorine2-Discovery", static_cast<size_t>(20));
        zsock_set_rcvtimeo(actor_, 100);
        thread_ = std::thread([this] { run(); });
    }
    ~BeaconPeer() {
        stop_ = true;
        thread_.join();
        zactor_destroy(&actor_);
    }
    int heard() const { return heard_; }

  private:
    void run() {
        bool publishing = false;
        while (!stop_) {
            char* sender = zstr_recv(actor_);
            if (!sender) continue;
            zstr_free(&sender);
            char* content = zstr_recv(actor_);
            if (content && strncmp(content, "Halvorine2-Discovery", 20) == 0) {
                ++heard_;
                if (!publishing) zsock_send(actor_, "sbi", "PUBLISH", bytes_, sizeof bytes_, 100);
                publishing = true;
            }
            zstr_free(&content);
        }
    }
    zactor_t* actor_ = nullptr;
    uint8_t bytes_[128];
    std::atomic<bool> stop_{false};
    std::atomic<int> heard_{0};
    std::thread thread_;
};

using Beacon = PrivateNetwork;

TEST_F(Beacon, RepeatedAnnouncementIsReportedOnce) {
    BeaconPeer peer(sServerSpec(ANEXUS_USB, 0x0BEAC0A1, kVethAddress, 40100));
    Seen seen;
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(1, aDiscovery_EnumerateModules(ANEXUS_USB, sCollect, &seen, kVethAddress));
    EXPECT_LT(aTime_GetMSTicks() - start, 3500u);
    ASSERT_EQ(1u, seen.specs.size());
    EXPECT_EQ(0x0BEAC0A1u, seen.specs[0].serial_num);
    EXPECT_EQ(kVethAddress, seen.specs[0].ip_address);
    EXPECT_EQ(40100u, seen.specs[0].ip_port);
    EXPECT_GE(peer.heard(), 2) << "the searcher keeps asking, the peer keeps answering";
    EXPECT_STREQ("", zBeaconInterface_get()) << "the interface setting is restored";
}

TEST_F(Beacon, SilentNetworkEndsAfterTheRounds) {
    Seen seen;
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(0, aDiscovery_EnumerateModules(ANEXUS, sCollect, &seen, kVethAddress));
    const uint64_t elapsed = aTime_GetMSTicks() - start;
    EXPECT_TRUE(seen.specs.empty());
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 3500u);
}

TEST_F(Beacon, AbsentInterfaceEndsAtOnceAndQuietly) {
    Seen seen;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(0, aDiscovery_EnumerateModules(ANEXUS, sCollect, &seen, inet_addr("198.51.100.9")));
    EXPECT_LT(aTime_GetMSTicks() - start, 1000u);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_TRUE(seen.specs.empty());
}

TEST_F(Beacon, InterfaceListHoldsTheVethAddress) {
    uint32_t addresses[50];
    EXPECT_EQ(0, aDiscovery_GetIPv4Interfaces(nullptr, 50));
    ASSERT_EQ(2, aDiscovery_GetIPv4Interfaces(addresses, 50));
    EXPECT_EQ((std::set<uint32_t>{kVethAddress, kOtherVethAddress}),
              (std::set<uint32_t>{addresses[0], addresses[1]}));
    EXPECT_EQ(1, aDiscovery_GetIPv4Interfaces(addresses, 1)) << "capacity";
}

}  // namespace
