// The library's link engine and discovery against hvmodsim: a link syncs with the simulated
// module (six magic packets), answers its heartbeats, and carries UEI exchanges; over TCP and
// over the serial line.
#include <gtest/gtest.h>

#include <string>

#include "SimProcess.h"
#include "engine/aLink.h"
#include "engine/aPacket.h"

using namespace modsimtest;

namespace {

struct Match {
    uint8_t address;
    Bytes prefix;
};

bool matches(const aPacket* p, void* ref) {
    const Match* m = static_cast<const Match*>(ref);
    if (p->address != m->address || p->dataSize < m->prefix.size()) return false;
    return std::equal(m->prefix.begin(), m->prefix.end(), p->data);
}

// Sends a packet on the link and returns the data of the first reply starting with `prefix`.
Bytes ask(uint32_t link, uint8_t address, const Bytes& data, const Bytes& prefix) {
    aPacket* req = aPacket_CreateWithData(address, uint8_t(data.size()), data.data());
    EXPECT_EQ(aLink_PutPacket(link, req), aErrNone);
    aPacket_Destroy(&req);
    Match m{address, prefix};
    aPacket* r = aLink_AwaitFirst(link, matches, &m, 1000);
    if (!r) return {};
    Bytes out(r->data, r->data + r->dataSize);
    aPacket_Destroy(&r);
    return out;
}

void talk(uint32_t link) {
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_EQ(ask(link, 4, {0x03, 0x49, 0x20}, {0x03, 0x09}),
              (Bytes{0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(ask(link, 4, {0x49, 0xFF}, {0x49, 0xFF}),
              (Bytes{0x49, 0xFF, 0x00, 0x00, 0x03, 0xE8}));
    // Heartbeats every 100 ms are answered by the engine while the link is idle.
    usleep(450000);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The engine answered the module's heartbeats (in the verbose log, "rx 04 02 00 02": address 4,
// first byte 0, second byte 0 + 2). A heartbeat every 100 ms leaves little room on a loaded
// machine, so one late answer now and then is no fault; most must be answered in time.
void expectHeartbeatsAnswered(const std::string& log) {
    const size_t answered = count(log, "rx 04 02 00 02");
    const size_t late = count(log, "heartbeat not answered");
    EXPECT_GE(answered, 2u) << log;
    EXPECT_LT(late, answered) << log;
    EXPECT_EQ(log.find("wrong heartbeat answer"), std::string::npos) << log;
}

}  // namespace

TEST(ModsimEngine, TcpLinkSyncsAnswersHeartbeatsAndCarriesUEI) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"-v", "--module", "serial=40F5849A,address=4,heartbeat=100"}));
    uint32_t link = aLink_CreateTCPIP(0x40F5849A, inet_addr("127.0.0.1"), sim.tcpPort("40F5849A"));
    talk(link);
    aLink_Destroy(&link);
    std::string log = sim.errors();
    expectHeartbeatsAnswered(log);
    EXPECT_NE(log.find("rx AF 01 01"), std::string::npos) << "the link's route packet";
}

TEST(ModsimEngine, SerialLinkSyncsAnswersHeartbeatsAndCarriesUEI) {
    SimProcess sim;
    ASSERT_TRUE(
        sim.start({"-v", "--module", "serial=40F5849A,address=4,heartbeat=100,link=serial"}));
    uint32_t link = aLink_CreateSerial(0x40F5849A, sim.where("40F5849A", "pty").c_str(), 115200);
    talk(link);
    aLink_Destroy(&link);
    expectHeartbeatsAnswered(sim.errors());
}
