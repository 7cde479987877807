// Link facade against a scripted module at the other end of a TCP link on loopback: connection
// rules, configuration locks, specifier types, UEI encodings on the wire, reply matching and the
// reply time limits.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <thread>

#include "TcpPeer.h"
#include "api/I2C.h"
#include "api/Link.h"
#include "api/Module.h"
#include "api/System.h"
#include "api/aProtocol.h"

using namespace Kestrova::Halvorine;
using peertest::Bytes;
using peertest::nowMs;
using peertest::Packet;
using peertest::TcpPeer;

namespace {

constexpr uint32_t kSerial = 0x00C0FFEE;

linkSpec tcpSpec(uint16_t port) {
    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = kSerial;
    s.ip_address = htonl(INADDR_LOOPBACK);
    s.ip_port = port;
    return s;
}

aNexusConfig unshared() {
    aNexusConfig c;
    c.enabled = false;
    c.fallback = false;
    return c;
}

uei record(uint8_t module, uint8_t command, uint8_t option, uint8_t index, int type) {
    uei r{};
    r.module = module;
    r.command = command;
    r.option = option;
    r.index = index;
    r.type = type;
    return r;
}

class LinkOverTcp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(0, peer.port());
        ASSERT_EQ(aErrNone, link.setLinkSpecifier(tcpSpec(peer.port())));
        ASSERT_EQ(aErrNone, link.setConfig(unshared()));
    }
    void connect() {
        ASSERT_EQ(aErrNone, link.connect());
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(link.isConnected());
    }
    Packet expectPacket() {
        Packet p;
        EXPECT_TRUE(peer.read(&p)) << "the link sent nothing";
        return p;
    }

    TcpPeer peer;
    Link link{"test link"};
};

TEST(LinkConfig, DefaultsAndPlainAccessors) {
    Link link("a name");
    EXPECT_STREQ("a name", link.getName());
    aNexusConfig c;
    EXPECT_EQ(aErrParam, link.getConfig(nullptr));
    ASSERT_EQ(aErrNone, link.getConfig(&c));
    EXPECT_TRUE(c.enabled);
    EXPECT_TRUE(c.fallback);
    EXPECT_TRUE(c.localOnly);
    EXPECT_EQ(0, c.port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), c.networkInterface);
    linkSpec s;
    EXPECT_EQ(aErrNotFound, link.getLinkSpecifier(&s));
    EXPECT_EQ(aErrConfiguration, link.connect()) << "no specifier stored";
    EXPECT_EQ(kLinkStatusPacketError, link.getStatus());
    EXPECT_FALSE(link.isConnected());

    std::string longName(3000, 'n');
    Link named(longName.c_str());
    EXPECT_EQ(Link::kMaxNameLength, std::strlen(named.getName()));
    Link unnamed(nullptr);
    EXPECT_STREQ("", unnamed.getName());
}

TEST(LinkConfig, EveryOperationNeedsAConnection) {
    Link link(tcpSpec(9), "unconnected");
    uint8_t address = 77;
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_EQ(0, address);
    uei r = record(2, cmdSYSTEM, 0x41, 0x20, ueiVoid);
    EXPECT_EQ(aErrConnection, link.sendUEI(r));
    EXPECT_EQ(aErrConnection, link.sendUEI(r, 1));
    EXPECT_EQ(aErrConnection, link.receiveUEI(2, 3, 1, 0, &r));
    EXPECT_EQ(aErrConnection, link.dropMatchingUEIPackets(2, 3, 1, 0));
    uint8_t data[28] = {};
    EXPECT_EQ(aErrConnection, link.sendPacket(2, 73, 1, data));
    uint8_t length = 0;
    EXPECT_EQ(aErrConnection, link.receivePacket(2, data, &length, data));
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(aErrNone, link.reset());
}

// Types 4-7 need the sharing layer, 8 and above are no link type; with sharing enabled (the
// default) no link is made at all. None of them leaves a link behind.
TEST_F(LinkOverTcp, SpecifierTypesThatMakeNoLink) {
    struct Case {
        uint32_t type;
        bool enabled;
        aErr expected;
    };
    const Case cases[] = {
        {ANEXUS, false, aErrConfiguration},
        {ANEXUS_USB, false, aErrConfiguration},
        {ANEXUS_TCPIP, false, aErrConfiguration},
        {ANEXUS_SERIAL, false, aErrConfiguration},
        {8, false, aErrMode},
        {0, false, aErrMode},
        {0xFFFFFFFF, false, aErrMode},
        {8, true, aErrMode},
        {TCPIP, true, aErrUnimplemented},
        {ANEXUS, true, aErrUnimplemented},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " enabled " << c.enabled);
        linkSpec s = tcpSpec(peer.port());
        s.type = c.type;
        aNexusConfig config = unshared();
        config.enabled = c.enabled;
        ASSERT_EQ(aErrNone, link.setConfig(config));
        ASSERT_EQ(aErrNone, link.setLinkSpecifier(s));
        EXPECT_EQ(c.expected, link.connect());
        EXPECT_EQ(kLinkStatusPacketError, link.getStatus()) << "a link id is held";
        EXPECT_FALSE(link.isConnected());
    }
    EXPECT_FALSE(peer.pending(100)) << "a connection was opened";
}

TEST_F(LinkOverTcp, ConnectTwiceThenAgainAfterDisconnect) {
    connect();
    EXPECT_EQ(kLinkStatusRunning, link.getStatus());
    EXPECT_EQ(aErrConnection, link.connect());
    EXPECT_EQ(aErrConnection, link.discoverAndConnect(TCPIP, kSerial, 0))
        << "a search while connected";
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(kLinkStatusPacketError, link.getStatus());
    EXPECT_EQ(aErrNone, link.disconnect()) << "a second disconnect is harmless";
    connect();
}

TEST_F(LinkOverTcp, ConfigurationAndSpecifierLockedWhileConnected) {
    connect();
    aNexusConfig c = unshared();
    c.port = 1234;
    EXPECT_EQ(aErrMode, link.setConfig(c));
    linkSpec other = tcpSpec(1);
    EXPECT_EQ(aErrBusy, link.setLinkSpecifier(other));
    linkSpec s;
    ASSERT_EQ(aErrNone, link.getLinkSpecifier(&s));
    EXPECT_EQ(peer.port(), s.ip_port);
    aNexusConfig now;
    ASSERT_EQ(aErrNone, link.getConfig(&now));
    EXPECT_EQ(0, now.port);

    ASSERT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(aErrNone, link.setConfig(c));
    EXPECT_EQ(aErrNone, link.setLinkSpecifier(other));
}

TEST_F(LinkOverTcp, RefusedConnectionLeavesNoLink) {
    uint16_t port = 0;
    {
        TcpPeer gone;  // its port refuses connections once the listener is closed
        port = gone.port();
    }
    linkSpec s = tcpSpec(port);
    s.serial_num = kSerial + 1;
    ASSERT_EQ(aErrNone, link.setLinkSpecifier(s));
    EXPECT_EQ(aErrConnection, link.connect());
    EXPECT_EQ(kLinkStatusPacketError, link.getStatus());
}

TEST_F(LinkOverTcp, UEIEncodingsOnTheWire) {
    connect();
    struct Case {
        int type;
        uint32_t value;
        bool subindex;
        Bytes wire;
    };
    const Case cases[] = {
        {ueiVoid, 0, false, {3, 0x41, 0x20}},
        {ueiByte, 0xAB, false, {3, 0x82, 0x20, 0xAB}},
        {ueiShort, 0x1234, false, {3, 0x82, 0x20, 0x12, 0x34}},
        {ueiInt, 0xDEADBEEF, false, {3, 0x82, 0x20, 0xDE, 0xAD, 0xBE, 0xEF}},
        {ueiVoid, 0, true, {3, 0x82, 0x20, 7}},
        {ueiByte, 0xAB, true, {3, 0x82, 0x20, 7, 0xAB}},
        {ueiShort, 0x1234, true, {3, 0x82, 0x20, 7, 0x12, 0x34}},
        {ueiInt, 0xDEADBEEF, true, {3, 0x82, 0x20, 7, 0xDE, 0xAD, 0xBE, 0xEF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " subindex " << c.subindex);
        uei r = record(4, cmdSYSTEM, c.wire[1], 0x20, c.type);
        if (c.type == ueiByte) r.value.byteVal = uint8_t(c.value);
        if (c.type == ueiShort) r.value.shortVal = uint16_t(c.value);
        if (c.type == ueiInt) r.value.intVal = c.value;
        ASSERT_EQ(aErrNone, c.subindex ? link.sendUEI(r, 7) : link.sendUEI(r));
        Packet p = expectPacket();
        EXPECT_EQ(4, p.address);
        EXPECT_EQ(c.wire, p.data);
    }

    uei bad = record(4, cmdSYSTEM, 0x41, 0x20, 3);
    EXPECT_EQ(aErrParam, link.sendUEI(bad)) << "type code 3 is not used";
    bad.type = ueiBytes;
    EXPECT_EQ(aErrParam, link.sendUEI(bad, 1)) << "a byte string has no subindex form";
    uei odd = record(5, cmdSYSTEM, 0x41, 0x20, ueiVoid);
    EXPECT_EQ(aErrPacket, link.sendUEI(odd));
    odd.module = 0;
    EXPECT_EQ(aErrPacket, link.sendUEI(odd, 1));
    EXPECT_TRUE(peer.silentFor(100));
}

TEST_F(LinkOverTcp, ByteStringsGoOutInChunks) {
    connect();
    uint8_t bytes[25];
    for (uint8_t i = 0; i < sizeof bytes; ++i) bytes[i] = uint8_t(0x30 + i);
    uei r = record(6, cmdSYSTEM, 0x80 | 32, 0x20, ueiBytes);
    r.value.bytes = bytes;
    r.length = sizeof bytes;
    ASSERT_EQ(aErrNone, link.sendUEI(r));
    Packet first = expectPacket(), second = expectPacket();
    ASSERT_EQ(28u, first.data.size());
    EXPECT_EQ(Bytes({3, 0xA0, 0x20}), Bytes(first.data.begin(), first.data.begin() + 3));
    EXPECT_EQ(Bytes(bytes, bytes + 24), Bytes(first.data.begin() + 3, first.data.end() - 1));
    EXPECT_EQ(0x80, first.data.back());
    EXPECT_EQ(Bytes({3, 0xA0, 0x20, 0x30 + 24, 0x01}), second.data);
    EXPECT_TRUE(peer.silentFor(100)) << "more than two packets";

    r.length = 0;
    r.value.bytes = nullptr;
    ASSERT_EQ(aErrNone, link.sendUEI(r));
    EXPECT_EQ(Bytes({3, 0xA0, 0x20, 0x00}), expectPacket().data);
}

TEST_F(LinkOverTcp, ReceiveUEIMatchesOnTheRecordAndLeavesOthersQueued) {
    connect();
    // Wrong module, wrong option byte (a set reply), wrong index, too short: none matches.
    peer.send(8, {3, 9, 0, 0, 0, 0, 1});
    peer.send(6, {3, 0xC9, 0, 0, 0, 0, 2});
    peer.send(6, {3, 9, 1, 0, 0, 0, 3});
    peer.send(6, {3, 9});
    peer.send(6, {3, 9, 0x20, 0x12, 0x34, 0x56, 0x78});  // index flags beyond bits 0-4 ignored
    uei r = record(6, cmdSYSTEM, 9, 0, ueiVoid);
    ASSERT_EQ(aErrNone, link.receiveUEI(6, 0, 0, 0, &r)) << "arguments other than module unused";
    EXPECT_EQ(ueiInt, r.type);
    EXPECT_EQ(0x12345678u, r.value.intVal);
    EXPECT_EQ(0, r.index);

    // Value decoding by length; 6 leaves the record's value and type as they were.
    struct Case {
        Bytes data;
        int type;
        uint32_t value;
    };
    const Case cases[] = {
        {{3, 1, 0}, ueiVoid, 0x55},
        {{3, 1, 0, 0xAB}, ueiByte, 0xAB},
        {{3, 1, 0, 0x12, 0x34}, ueiShort, 0x1234},
        {{3, 1, 0, 1, 2, 3}, 99, 0x55},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.data.size());
        peer.send(6, c.data);
        uei v = record(6, cmdSYSTEM, 1, 0, 99);
        v.value.intVal = 0x55;
        ASSERT_EQ(aErrNone, link.receiveUEI(6, 3, 1, 0, &v));
        EXPECT_EQ(c.type, v.type);
        uint32_t got = v.type == ueiByte    ? v.value.byteVal
                       : v.type == ueiShort ? v.value.shortVal
                                            : v.value.intVal;
        EXPECT_EQ(c.value, got);
    }

    // An error reply: success of the wait, the flag and the module's code in the record.
    peer.send(6, {3, 0xC4, 0x80, aErrInvalidOption});
    uei e = record(6, cmdSYSTEM, 0xC4, 0, ueiVoid);
    ASSERT_EQ(aErrNone, link.receiveUEI(6, 3, 0xC4, 0, &e));
    EXPECT_EQ(0x80, e.index);
    EXPECT_EQ(aErrInvalidOption, e.value.byteVal);

    // The four that did not match are still queued, in order.
    const Bytes leftovers[] = {
        {3, 9, 0, 0, 0, 0, 1}, {3, 0xC9, 0, 0, 0, 0, 2}, {3, 9, 1, 0, 0, 0, 3}, {3, 9}};
    for (const Bytes& want : leftovers) {
        uint8_t data[28];
        uint8_t length = 0;
        ASSERT_EQ(aErrNone, link.receivePacket(2, nullptr, &length, data));
        EXPECT_EQ(want, Bytes(data, data + length));
    }
    EXPECT_EQ(aErrPacket, link.receiveUEI(0, 3, 9, 0, &r));
    EXPECT_EQ(aErrPacket, link.receiveUEI(7, 3, 9, 0, &r));
}

// A byte-string set above 1000 bytes gets 4000 ms for its acknowledgement, others 1000 ms.
TEST_F(LinkOverTcp, ReceiveUEIWaitsLongerForLargeStrings) {
    connect();
    uei normal = record(6, cmdSYSTEM, 0xE0, 0, ueiBytes);
    normal.length = 1000;
    uint64_t t0 = nowMs();
    EXPECT_EQ(aErrTimeout, link.receiveUEI(6, 3, 0xE0, 0, &normal));
    uint64_t spent = nowMs() - t0;
    EXPECT_GE(spent, 950u);
    EXPECT_LT(spent, 2000u);

    // Acknowledged after 2.5 s: in time for a 1001-byte string.
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        peer.send(6, {3, 0xE0, 0});
    });
    uei large = record(6, cmdSYSTEM, 0xE0, 0, ueiBytes);
    large.length = 1001;
    t0 = nowMs();
    EXPECT_EQ(aErrNone, link.receiveUEI(6, 3, 0xE0, 0, &large));
    spent = nowMs() - t0;
    late.join();
    EXPECT_GE(spent, 2400u);

    large.length = 1001;
    large.type = ueiBytes;
    t0 = nowMs();
    EXPECT_EQ(aErrTimeout, link.receiveUEI(6, 3, 0xE0, 0, &large));
    spent = nowMs() - t0;
    EXPECT_GE(spent, 3950u);
    EXPECT_LT(spent, 5500u);
}

TEST_F(LinkOverTcp, RawPacketsAndTheirMatching) {
    connect();
    uint8_t payload[28];
    for (uint8_t i = 0; i < sizeof payload; ++i) payload[i] = i;
    EXPECT_EQ(aErrParam, link.sendPacket(2, 95, 28, payload));
    EXPECT_EQ(aErrParam, link.sendPacket(3, 95, 28, payload)) << "length is checked first";
    EXPECT_EQ(aErrPacket, link.sendPacket(3, 95, 2, payload));
    EXPECT_EQ(aErrPacket, link.sendPacket(0, 95, 2, payload));
    EXPECT_TRUE(peer.silentFor(100)) << "a refused packet went out";
    ASSERT_EQ(aErrNone, link.sendPacket(2, 95, 27, payload));
    Packet p = expectPacket();
    EXPECT_EQ(2, p.address);
    ASSERT_EQ(28u, p.data.size());
    EXPECT_EQ(95, p.data[0]);
    EXPECT_EQ(Bytes(payload, payload + 27), Bytes(p.data.begin() + 1, p.data.end()));
    ASSERT_EQ(aErrNone, link.sendPacket(2, 73, 0, nullptr));
    EXPECT_EQ(Bytes({73}), expectPacket().data);

    // The first packet that starts with 95, 7, whatever its address.
    peer.send(4, {95, 6, 1});
    peer.send(10, {95, 7, 1, 2});
    const uint8_t match[] = {95, 7};
    uint8_t data[28];
    uint8_t length = 2;
    ASSERT_EQ(aErrNone, link.receivePacket(2, match, &length, data));
    EXPECT_EQ(4, length);
    EXPECT_EQ(Bytes({95, 7, 1, 2}), Bytes(data, data + length));
    length = 0;
    ASSERT_EQ(aErrNone, link.receivePacket(2, match, &length, data)) << "0 matches any";
    EXPECT_EQ(Bytes({95, 6, 1}), Bytes(data, data + length));
    length = 2;
    EXPECT_EQ(aErrTimeout, link.receivePacket(2, match, &length, data));
    EXPECT_EQ(aErrPacket, link.receivePacket(9, match, &length, data));
    EXPECT_EQ(aErrParam, link.receivePacket(2, match, nullptr, data));
}

TEST_F(LinkOverTcp, ModuleAddressQuery) {
    connect();
    std::thread answer([this] {
        Packet p;
        if (peer.read(&p) && p.address == cmdMAGIC && p.data.empty()) peer.send(6, {});
    });
    peer.send(6, {3, 1, 0, 6});  // a packet with data is no answer
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
    answer.join();
    EXPECT_EQ(6, address);
    EXPECT_EQ(aErrParam, link.getModuleAddress(nullptr));

    uint64_t t0 = nowMs();
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_GE(nowMs() - t0, 950u);
    EXPECT_EQ(0, address);
}

TEST_F(LinkOverTcp, DropMatchingUEIPackets) {
    connect();
    peer.send(6, {3, 5, 0, 1});
    peer.send(6, {3, 5, 0x40, 2});  // index bits 0-4 match
    peer.send(6, {3, 6, 0, 3});
    peer.send(6, {3, 5, 0, 4});
    peer.send(6, {3, 7, 0, 5});
    // Once option 7 has been taken, everything before it has been queued.
    uei r = record(6, cmdSYSTEM, 7, 0, ueiVoid);
    ASSERT_EQ(aErrNone, link.receiveUEI(6, 3, 7, 0, &r));
    EXPECT_EQ(aErrPacket, link.dropMatchingUEIPackets(5, 3, 5, 0));
    EXPECT_EQ(aErrNone, link.dropMatchingUEIPackets(6, 3, 5, 0));
    uint8_t data[28];
    uint8_t length = 0;
    ASSERT_EQ(aErrNone, link.receivePacket(2, nullptr, &length, data));
    EXPECT_EQ(Bytes({3, 6, 0, 3}), Bytes(data, data + length));
    length = 0;
    EXPECT_EQ(aErrTimeout, link.receivePacket(2, nullptr, &length, data));
}

// Two facades with the same specifier share one engine link; either may go first.
TEST_F(LinkOverTcp, SharedThroughAnotherLink) {
    Link other("second");
    EXPECT_EQ(aErrInitialization, other.connectThroughLinkModule(link));
    connect();
    ASSERT_EQ(aErrNone, other.setConfig(unshared()));
    ASSERT_EQ(aErrNone, other.setLinkSpecifier(tcpSpec(peer.port())));
    ASSERT_EQ(aErrNone, other.connectThroughLinkModule(link));
    EXPECT_TRUE(other.isConnected());
    EXPECT_EQ(aErrConnection, other.connectThroughLinkModule(link));
    EXPECT_FALSE(peer.pending(100)) << "a second connection was opened";
    ASSERT_EQ(aErrNone, link.disconnect());
    EXPECT_TRUE(other.isConnected()) << "the shared link went with the first holder";
    ASSERT_EQ(aErrNone, other.sendPacket(2, 23, 1, reinterpret_cast<const uint8_t*>("x")));
    EXPECT_EQ(Bytes({23, 'x'}), expectPacket().data);
}

TEST_F(LinkOverTcp, PooledPacketsSwitch) {
    EXPECT_NE(aErrNone, link.enablePooledPackets(true)) << "no link yet";
    connect();
    EXPECT_EQ(aErrNone, link.enablePooledPackets(true));
    ASSERT_EQ(aErrNone, link.sendPacket(2, 23, 0, nullptr));
    EXPECT_EQ(Bytes({23}), expectPacket().data);
    EXPECT_EQ(aErrNone, link.enablePooledPackets(false));
}

TEST_F(LinkOverTcp, DroppedConnectionReportsNotConnected) {
#if defined(__SANITIZE_THREAD__)
    // The socket stream's reader and writer both close a connection they find broken, without a
    // common lock; ThreadSanitizer reports that race in the transport, not in the facade.
    GTEST_SKIP() << "the socket stream's close on a dropped connection races";
#endif
    connect();
    peer.closeListener();  // no way back in: the module is gone
    peer.drop();
    const uint64_t t0 = nowMs();
    while (link.isConnected() && nowMs() - t0 < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(link.isConnected());
    EXPECT_NE(kLinkStatusRunning, link.getStatus());
    EXPECT_EQ(aErrConnection, link.connect()) << "the id is held until disconnect";
    uei r = record(2, cmdSYSTEM, 1, 0, ueiVoid);
    EXPECT_EQ(aErrConnection, link.sendUEI(r));
    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(kLinkStatusPacketError, link.getStatus());
}

// What Module and the entities put on the wire, with the scripted module answering.
class ModuleOverTcp : public ::testing::Test {
  protected:
    void connect(bool networking) {
        module.reset(new Module(6, networking, 0));
        aNexusConfig c = unshared();
        ASSERT_EQ(aErrNone, module->setConfig(c));
        std::thread answer([this] {
            ASSERT_TRUE(peer.accept());
            Packet p;
            // In networking mode the module's address is asked first.
            if (peer.read(&p, 1000) && p.address == cmdMAGIC) peer.send(6, {});
        });
        ASSERT_EQ(aErrNone, module->connectFromSpec(tcpSpec(peer.port())));
        answer.join();
    }
    // Runs `call` while the peer takes one request and answers it with `reply` (none if empty).
    template <typename Call>
    aErr exchange(Call call, Bytes* request, const Bytes& reply) {
        std::thread answer([&] {
            Packet p;
            if (!peer.read(&p)) return;
            *request = p.data;
            if (!reply.empty()) peer.send(6, reply);
        });
        aErr err = call();
        answer.join();
        return err;
    }

    TcpPeer peer;
    std::unique_ptr<Module> module;
};

TEST_F(ModuleOverTcp, RequestsOnTheWire) {
    connect(true);
    SystemClass sys;
    sys.init(module.get(), 0);
    I2CClass bus;
    bus.init(module.get(), 1);
    ASSERT_EQ(aErrNone, bus.setSpeed(2));
    uint8_t data[23];
    for (uint8_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(0xA0 + i);
    uint8_t in[23] = {};
    uint32_t u32 = 0;
    Bytes request;

    EXPECT_EQ(aErrNone, exchange([&] { return sys.saveEntityToStore(); }, &request, {92, 0xC0, 0}));
    EXPECT_EQ(Bytes({92, 0x80, 0x20, 0, 0, 3, 0}), request);
    EXPECT_EQ(aErrNone,
              exchange([&] { return bus.loadEntityFromStore(); }, &request, {92, 0xC2, 0}));
    EXPECT_EQ(Bytes({92, 0x82, 0x20, 0, 0, 8, 1}), request);
    EXPECT_EQ(aErrNone, exchange([&] { return module->hasUEI(95, 10, 0, 0x80); }, &request,
                                 {73, 1, 95, 10, 0, 0}));
    EXPECT_EQ(Bytes({73, 1, 95, 10, 0, 0x80}), request);
    EXPECT_EQ(aErrUnknown, exchange([&] { return module->hasUEI(95, 10, 0, 0x80); }, &request,
                                    {73, 1, 95, 11, 0, 0}))
        << "another UEI's answer";
    EXPECT_EQ(aErrNone, exchange([&] { return sys.getUEI32(systemUniqueIdentifier, 2, &u32); },
                                 &request, {3, 39, 0, 1, 2, 3, 4}));
    EXPECT_EQ(Bytes({3, 0x40 | 39, 0x20, 2}), request);
    EXPECT_EQ(0x01020304u, u32);
    EXPECT_EQ(aErrNone, exchange([&] { return sys.reset(); }, &request, {3, 0xC0 | 11, 0}));
    EXPECT_EQ(Bytes({3, 0x80 | 11, 0x20}), request);
    EXPECT_EQ(aErrNone,
              exchange([&] { return sys.setUEI16(50, 3, 0xBEEF); }, &request, {3, 0xC0 | 50, 0}));
    EXPECT_EQ(Bytes({3, 0x80 | 50, 0x20, 3, 0xBE, 0xEF}), request);

    EXPECT_EQ(aErrNone,
              exchange([&] { return bus.write(0x40, 23, data); }, &request, {8, 1, 0x40, 0, 0}));
    Bytes write{8, 1, 0x40, 23, 2};
    write.insert(write.end(), data, data + 23);
    EXPECT_EQ(write, request);
    EXPECT_EQ(aErrNone, exchange([&] { return bus.read(0x40, 3, in); }, &request,
                                 {8, 1, 0x41, 5, 0, 7, 8, 9, 10, 11}));
    EXPECT_EQ(Bytes({8, 1, 0x41, 3, 2}), request);
    EXPECT_EQ(Bytes({7, 8, 9, 0}), Bytes(in, in + 4)) << "more copied than asked for";
    EXPECT_EQ(aErrNone,
              exchange([&] { return bus.read(0x40, 6, in); }, &request, {8, 1, 0x41, 9, 0, 1, 2}));
    EXPECT_EQ(Bytes({1, 2, 9}), Bytes(in, in + 3)) << "more copied than the reply carried";
    EXPECT_EQ(aErrNone, exchange([&] { return bus.setPullup(true); }, &request, {8, 1, 1, 0, 0}));
    EXPECT_EQ(Bytes({8, 1, 1, 1}), request);
    EXPECT_EQ(aErrIO, exchange([&] { return bus.write(0x40, 1, data); }, &request,
                               {8, 1, 0x40, 0, 0x80 | aErrIO}));
    EXPECT_EQ(aErrPacket,
              exchange([&] { return bus.write(0x40, 1, data); }, &request, {8, 1, 0x40, 0}))
        << "a reply without a status byte";

    const uint8_t echo[] = {1, 2, 3};
    EXPECT_EQ(aErrIO, exchange([&] { return module->debug(echo, 3); }, &request, {23, 1, 2, 4}));
    EXPECT_EQ(Bytes({23, 1, 2, 3}), request);
    EXPECT_EQ(aErrSize,
              exchange([&] { return module->getBuild(&u32); }, &request, {73, 255, 0, 0, 1}));
    EXPECT_EQ(Bytes({73, 255}), request);
    // An error reply that claims success still is a failure.
    uint8_t u8 = 0;
    EXPECT_EQ(aErrUnknown, exchange([&] { return sys.getModel(&u8); }, &request, {3, 8, 0x80, 0}));
}

// In networking mode a module that never answers the address query makes the connect fail with
// aErrNotReady after four tries, and the link stays up.
TEST_F(ModuleOverTcp, SilentModuleInNetworkingMode) {
    Module m(2, uint8_t(0));
    ASSERT_EQ(aErrNone, m.setConfig(unshared()));
    const uint64_t t0 = nowMs();
    EXPECT_EQ(aErrNotReady, m.connectFromSpec(tcpSpec(peer.port())));
    const uint64_t spent = nowMs() - t0;
    EXPECT_GE(spent, 3900u);
    EXPECT_LT(spent, 6000u);
    EXPECT_TRUE(m.isConnected());
    EXPECT_EQ(2, m.getModuleAddress());
    ASSERT_TRUE(peer.accept(100));
    int asked = 0;
    Packet p;
    while (peer.read(&p, 100))
        if (p.address == cmdMAGIC) ++asked;
    EXPECT_EQ(4, asked);

    Module off(2, false, 0);
    ASSERT_EQ(aErrNone, off.setConfig(unshared()));
    EXPECT_EQ(aErrNone, off.connectFromSpec(tcpSpec(peer.port()))) << "no query outside it";
}

TEST(ModuleWithoutLink, ConfigurationNeedsNoConnection) {
    Module m(2, uint8_t(0));
    EXPECT_EQ(aErrParam, m.connect(USB, 0));
    EXPECT_EQ(kLinkStatusPacketError, m.getStatus());
    linkSpec s;
    EXPECT_EQ(aErrNotFound, m.getLinkSpecifier(&s));
    EXPECT_EQ(aErrConfiguration, m.reconnect()) << "no specifier stored";
    EXPECT_EQ(aErrNone, m.disconnect());
    uint8_t count = 0;
    EXPECT_EQ(aErrConnection, m.classQuantity(3, &count));
    uint32_t build = 0;
    EXPECT_EQ(aErrConnection, m.getBuild(&build));
    m.setModuleAddress(10);
    EXPECT_EQ(10, m.getModuleAddress());
    ASSERT_NE(nullptr, m.getLink());
    EXPECT_STREQ("Link", m.getLink()->getName());
}

}  // namespace
