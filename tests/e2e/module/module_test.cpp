// Module, SystemClass and I2CClass against the module simulator, reached over TCP on loopback by
// address: connection and networking mode, the system entity's values, byte strings, queries,
// the echo test, store requests, I2C transfers and a module behind a router.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "../modsim/SimProcess.h"
#include "api/I2C.h"
#include "api/Module.h"
#include "api/System.h"
#include "api/aProtocol.h"
#include "api/aVersion.h"

using namespace Kestrova::Halvorine;
using modsimtest::SimProcess;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint32_t kRouter = 0x0000A001;
constexpr uint32_t kBehind = 0x0000B002;
// 30 bytes: longer than one 24-byte chunk.
const std::string kName = "Rack 7 hub, left side, slot 12";

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = serial;
    s.ip_address = htonl(INADDR_LOOPBACK);
    s.ip_port = port;
    return s;
}

void unshare(Module& m) {
    aNexusConfig c;
    ASSERT_EQ(aErrNone, m.getConfig(&c));
    c.enabled = false;
    c.fallback = false;
    ASSERT_EQ(aErrNone, m.setConfig(c));
}

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == ',') out += '\\';
        out += c;
    }
    return out;
}

class ModuleOnSim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start({
            "--module",
            "serial=1234ABCD,model=19,address=6,version=2.15.3,build=4242,link=tcp,"
            "uid=11111111:22222222:33333333:44444444,name=" +
                escaped(kName),
            "--module",
            "serial=0000A001,model=17,address=2,build=77,link=tcp",
            "--module",
            "serial=0000B002,model=13,address=8,behind=0000A001,build=88",
        })) << sim.errors();
        port = sim.tcpPort("1234ABCD");
        routerPort = sim.tcpPort("0000A001");
        ASSERT_NE(0, port) << sim.readyLine();
        ASSERT_NE(0, routerPort) << sim.readyLine();
    }
    void connect(Module& m, uint32_t serial = kSerial) {
        unshare(m);
        ASSERT_EQ(aErrNone,
                  m.connectFromSpec(tcpSpec(serial, serial == kSerial ? port : routerPort)));
        ASSERT_TRUE(m.isConnected());
    }

    SimProcess sim;
    uint16_t port = 0, routerPort = 0;
};

TEST_F(ModuleOnSim, ConnectRefusesSerialNumberZero) {
    Module m(2, uint8_t(0));
    EXPECT_EQ(aErrParam, m.connect(USB, 0));
    EXPECT_EQ(kLinkStatusPacketError, m.getStatus());
    EXPECT_FALSE(m.isConnected());
}

TEST_F(ModuleOnSim, NetworkingModeAdoptsTheModulesAddress) {
    Module learning(2, uint8_t(19));
    connect(learning);
    EXPECT_EQ(6, learning.getModuleAddress());

    Module fixed(2, false, 19);
    connect(fixed);
    EXPECT_EQ(2, fixed.getModuleAddress());
    EXPECT_EQ(aErrBusy, fixed.connectFromSpec(tcpSpec(kSerial, port)));
    EXPECT_EQ(aErrNone, fixed.disconnect());
    EXPECT_FALSE(fixed.isConnected());
    ASSERT_EQ(aErrNone, fixed.reconnect());
    EXPECT_TRUE(fixed.isConnected());
    linkSpec s;
    ASSERT_EQ(aErrNone, fixed.getLinkSpecifier(&s));
    EXPECT_EQ(kSerial, s.serial_num);
    EXPECT_EQ(port, s.ip_port);
    EXPECT_EQ(aErrParam, fixed.getConfig(nullptr));
}

TEST_F(ModuleOnSim, SystemGettersReturnTheSimulatorsValues) {
    Module m(2, uint8_t(0));
    connect(m);
    SystemClass sys;
    sys.init(&m, 0);

    uint32_t u32 = 0;
    ASSERT_EQ(aErrNone, sys.getSerialNumber(&u32));
    EXPECT_EQ(kSerial, u32);
    ASSERT_EQ(aErrNone, sys.getVersion(&u32));
    EXPECT_EQ(aVersion_Pack(2, 15, 3), u32);
    ASSERT_EQ(aErrNone, sys.getBuild(&u32));
    EXPECT_EQ(4242u, u32);
    ASSERT_EQ(aErrNone, sys.getProtocolFeatures(&u32));
    EXPECT_EQ(aPROTO_FEATURE_POOLED_PACKETS, u32);
    ASSERT_EQ(aErrNone, sys.getHardwareVersion(&u32));
    EXPECT_EQ(3u, u32);
    ASSERT_EQ(aErrNone, sys.getInputVoltage(&u32));
    EXPECT_EQ(5020000u, u32);
    uint32_t build = 0;
    ASSERT_EQ(aErrNone, m.getBuild(&build));
    EXPECT_EQ(4242u, build);

    uint8_t u8 = 0;
    ASSERT_EQ(aErrNone, sys.getModel(&u8));
    EXPECT_EQ(19, u8);
    ASSERT_EQ(aErrNone, sys.getModule(&u8));
    EXPECT_EQ(6, u8);
    ASSERT_EQ(aErrNone, sys.getRouter(&u8));
    EXPECT_EQ(6, u8);
    ASSERT_EQ(aErrNone, sys.getModuleBaseAddress(&u8));
    EXPECT_EQ(6, u8);

    int32_t s32 = 0;
    ASSERT_EQ(aErrNone, sys.getTemperature(&s32));
    EXPECT_EQ(36250000, s32);

    const uint32_t uid[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_EQ(aErrNone, sys.getUEI32(systemUniqueIdentifier, i, &u32));
        EXPECT_EQ(uid[i], u32);
    }
    u32 = 0x5A5A5A5A;
    EXPECT_EQ(aErrIndexRange, sys.getUEI32(systemUniqueIdentifier, 4, &u32));
    EXPECT_EQ(0x5A5A5A5Au, u32) << "a failed get wrote the value";
    EXPECT_EQ(aErrParam, sys.getSerialNumber(nullptr));

    char name[64] = {};
    size_t count = 0;
    ASSERT_EQ(aErrNone, sys.getName(reinterpret_cast<uint8_t*>(name), sizeof name, &count));
    EXPECT_EQ(kName, std::string(name, count));
}

TEST_F(ModuleOnSim, SettersAndByteStrings) {
    Module m(2, uint8_t(0));
    connect(m);
    SystemClass sys;
    sys.init(&m, 0);

    ASSERT_EQ(aErrNone, sys.setLED(1));
    uint8_t u8 = 0;
    ASSERT_EQ(aErrNone, sys.getLED(&u8));
    EXPECT_EQ(1, u8);
    ASSERT_EQ(aErrNone, sys.setPowerLimitMax(12345678));
    uint32_t u32 = 0;
    ASSERT_EQ(aErrNone, sys.getPowerLimitMax(&u32));
    EXPECT_EQ(12345678u, u32);
    EXPECT_EQ(aErrParam, sys.routeToMe(2)) << "the module's own error code";

    const std::string renamed = "A new name of 31 bytes, exactly";
    ASSERT_EQ(aErrNone,
              sys.setName(reinterpret_cast<const uint8_t*>(renamed.data()), renamed.size()));
    uint8_t buffer[40];
    size_t count = 0;
    ASSERT_EQ(aErrNone, sys.getName(buffer, sizeof buffer, &count));
    EXPECT_EQ(renamed, std::string(reinterpret_cast<char*>(buffer), count));
    const std::string tooLong(33, 'x');
    EXPECT_EQ(aErrSize,
              sys.setName(reinterpret_cast<const uint8_t*>(tooLong.data()), tooLong.size()));
    // A buffer too small for the string: the first chunk fits, the second does not.
    EXPECT_EQ(aErrMemory, sys.getName(buffer, 30, &count));
    EXPECT_EQ(24u, count);
    EXPECT_EQ(aErrParam, sys.getName(nullptr, 10, &count));
    EXPECT_EQ(aErrParam, sys.getName(buffer, 0, &count));

    const uint32_t words[7] = {1, 2, 3, 0xFFFFFFFF, 5, 6, 0x01020304};
    ASSERT_EQ(aErrNone, sys.setInputPowerBehaviorConfig(words, 7));
    uint32_t back[16] = {};
    ASSERT_EQ(aErrNone, sys.getInputPowerBehaviorConfig(back, 16, &count));
    EXPECT_EQ(7u, count);
    EXPECT_EQ(0, std::memcmp(words, back, sizeof words));
    EXPECT_EQ(aErrMemory, sys.getInputPowerBehaviorConfig(back, 1, &count));
}

// A string that does not fit ends the get with aErrMemory; the rest of its run must not be taken
// for the next get's.
TEST_F(ModuleOnSim, OversizedByteStringLeavesNothingBehind) {
    Module m(2, uint8_t(0));
    connect(m);
    SystemClass sys;
    sys.init(&m, 0);
    uint8_t full[64];
    for (uint8_t i = 0; i < sizeof full; ++i) full[i] = uint8_t(i * 3 + 1);
    ASSERT_EQ(aErrNone, sys.setUEIBytes(systemInputPowerBehaviorConfig, full, sizeof full));
    uint8_t buffer[64];
    size_t count = 0;
    EXPECT_EQ(aErrMemory, sys.getUEIBytes(systemInputPowerBehaviorConfig, buffer, 30, &count));
    EXPECT_EQ(24u, count) << "the first chunk fits";
    for (uint8_t& b : full) b = uint8_t(~b);
    ASSERT_EQ(aErrNone, sys.setUEIBytes(systemInputPowerBehaviorConfig, full, sizeof full));
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_EQ(aErrNone, sys.getUEIBytes(systemInputPowerBehaviorConfig, buffer, 64, &count));
    EXPECT_EQ(64u, count);
    EXPECT_EQ(0, std::memcmp(full, buffer, sizeof full));
    size_t words = 63;
    EXPECT_EQ(aErrMemory, sys.getUEIBytesCheck(&words, 4));
    EXPECT_EQ(aErrParam, sys.getUEIBytesCheck(nullptr, 4));
}

TEST_F(ModuleOnSim, QueriesAndEchoTest) {
    Module m(2, uint8_t(0));
    EXPECT_EQ(aErrConnection, m.hasUEI(cmdSYSTEM, systemName, 0, 0));
    EXPECT_EQ(aErrConnection, m.debug(reinterpret_cast<const uint8_t*>("x"), 1));
    connect(m);
    struct Case {
        uint8_t command, option, index, flags;
        aErr expected;
    };
    const Case cases[] = {
        {cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0xC0, aErrParam},
        {cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x01, aErrParam},
        {cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x20, aErrParam},
        {cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80, aErrNone},
        {cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x40, aErrInvalidOption},
        {cmdSYSTEM, systemName, 0, 0x40, aErrNone},
        {cmdSYSTEM, systemModel, 0, 0x80, aErrInvalidOption},
        {cmdSYSTEM, systemModel, 1, 0, aErrIndexRange},
        {200, 1, 0, 0, aErrInvalidEntity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.command) << "/" << int(c.option) << " flags " << int(c.flags));
        EXPECT_EQ(c.expected, m.hasUEI(c.command, c.option, c.index, c.flags));
    }

    uint8_t count = 99;
    ASSERT_EQ(aErrNone, m.classQuantity(cmdSYSTEM, &count));
    EXPECT_EQ(1, count);
    ASSERT_EQ(aErrNone, m.classQuantity(200, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(aErrNone, m.subClassQuantity(cmdI2C, 0, &count));
    EXPECT_EQ(1, count);
    uint8_t group = 99;
    ASSERT_EQ(aErrNone, m.entityGroup(cmdSYSTEM, 0, &group));
    EXPECT_EQ(0, group);
    EXPECT_EQ(aErrParam, m.classQuantity(cmdSYSTEM, nullptr));
    EXPECT_EQ(aErrParam, m.getBuild(nullptr));

    uint8_t payload[27];
    for (uint8_t i = 0; i < sizeof payload; ++i) payload[i] = uint8_t(0xF0 ^ i);
    EXPECT_EQ(aErrNone, m.debug(payload, sizeof payload));
    EXPECT_EQ(aErrNone, m.debug(nullptr, 0));
    EXPECT_EQ(aErrParam, m.debug(payload, 28));
}

TEST_F(ModuleOnSim, StoreRequestsAndEntityErrors) {
    Module m(2, uint8_t(0));
    connect(m);
    SystemClass sys;
    sys.init(&m, 0);
    EXPECT_EQ(aErrNone, sys.saveEntityToStore());
    EXPECT_EQ(aErrNone, sys.loadEntityFromStore());
    const std::string other = "other";
    ASSERT_EQ(aErrNone, sys.setName(reinterpret_cast<const uint8_t*>(other.data()), other.size()));
    EXPECT_EQ(aErrNone, sys.resetEntityToFactoryDefaults());
    uint8_t buffer[40];
    size_t count = 0;
    ASSERT_EQ(aErrNone, sys.getName(buffer, sizeof buffer, &count));
    EXPECT_EQ(kName, std::string(reinterpret_cast<char*>(buffer), count))
        << "factory defaults restore the name";

    I2CClass bus;
    bus.init(&m, 0);
    EXPECT_EQ(aErrInvalidEntity, bus.saveEntityToStore());

    SystemClass wrongIndex;
    wrongIndex.init(&m, 3);
    uint8_t u8 = 0;
    EXPECT_EQ(aErrIndexRange, wrongIndex.getModel(&u8));

    SystemClass unbound;
    EXPECT_EQ(aErrResource, unbound.getModel(&u8));
    EXPECT_EQ(aErrResource, unbound.reset());
    EXPECT_EQ(aErrResource, unbound.getName(buffer, sizeof buffer, &count));
    EXPECT_EQ(aErrResource, unbound.drainUEI(1));
}

TEST_F(ModuleOnSim, AwaitAndDrainWithoutSending) {
    Module m(2, uint8_t(0));
    connect(m);
    SystemClass sys;
    sys.init(&m, 0);
    Link* link = m.getLink();
    ASSERT_NE(nullptr, link);
    uei get{};
    get.module = 6;
    get.command = cmdSYSTEM;
    get.option = systemSerialNumber | OPTION_GET;
    get.index = INDEX_REQUEST;
    get.type = ueiVoid;
    ASSERT_EQ(aErrNone, link->sendUEI(get));
    uint32_t value = 0;
    ASSERT_EQ(aErrNone, sys.awaitUEI32Val(0x100 | systemSerialNumber, &value, 0));
    EXPECT_EQ(kSerial, value);
    EXPECT_EQ(aErrParam, sys.awaitUEI32Val(systemSerialNumber, nullptr, 0));

    ASSERT_EQ(aErrNone, link->sendUEI(get));
    get.option = systemBuild | OPTION_GET;
    ASSERT_EQ(aErrNone, link->sendUEI(get));
    // The build reply comes after the serial number's: once it is here, both are queued.
    ASSERT_EQ(aErrNone, sys.awaitUEI32Val(systemBuild, &value, 0));
    EXPECT_EQ(4242u, value);
    EXPECT_EQ(aErrNone, sys.drainUEI(systemSerialNumber));
    EXPECT_EQ(aErrTimeout, sys.awaitUEI32Val(systemSerialNumber, &value, 0));
}

TEST_F(ModuleOnSim, I2CTransfers) {
    Module router(2, uint8_t(0));
    connect(router, kRouter);
    I2CClass bus;
    bus.init(&router, 0);
    uint8_t speed = 9;
    ASSERT_EQ(aErrNone, bus.getSpeed(&speed));
    EXPECT_EQ(0, speed);
    EXPECT_EQ(aErrParam, bus.setSpeed(4));
    ASSERT_EQ(aErrNone, bus.setSpeed(3));
    ASSERT_EQ(aErrNone, bus.getSpeed(&speed));
    EXPECT_EQ(3, speed);

    uint8_t data[24];
    for (uint8_t i = 0; i < sizeof data; ++i) data[i] = i;
    EXPECT_EQ(aErrSize, bus.write(0x20, 24, data));
    EXPECT_EQ(aErrSize, bus.read(0x20, 24, data));
    EXPECT_EQ(aErrNone, bus.write(8, 23, data)) << "the module behind the router acknowledges";
    EXPECT_EQ(aErrIO, bus.write(0x40, 2, data)) << "nobody at that address";
    uint8_t in[23];
    std::memset(in, 0xEE, sizeof in);
    ASSERT_EQ(aErrNone, bus.read(8, 4, in));
    EXPECT_EQ(0, in[0]);
    EXPECT_EQ(0xEE, in[4]) << "more bytes stored than asked for";
    EXPECT_EQ(aErrIO, bus.read(0x40, 1, in));
    EXPECT_EQ(aErrNone, bus.setPullup(true));
    EXPECT_EQ(aErrNone, bus.setPullup(false));

    I2CClass other;
    other.init(&router, 1);
    EXPECT_EQ(aErrIndexRange, other.write(8, 1, data));
}

TEST_F(ModuleOnSim, ConnectThroughARouter) {
    Module router(2, uint8_t(0));
    Module behind(8, uint8_t(0));
    EXPECT_EQ(aErrNotFound, behind.connectThroughLinkModule(&router)) << "router has no specifier";
    ASSERT_EQ(aErrNone, router.getLink()->setLinkSpecifier(tcpSpec(kRouter, routerPort)));
    EXPECT_EQ(aErrInitialization, behind.connectThroughLinkModule(&router)) << "nor a link";
    EXPECT_FALSE(behind.isConnected());
    connect(router, kRouter);
    SystemClass routerSys;
    routerSys.init(&router, 0);
    ASSERT_EQ(aErrNone, routerSys.routeToMe(1));

    ASSERT_EQ(aErrNone, behind.connectThroughLinkModule(&router));
    EXPECT_TRUE(behind.isConnected());
    EXPECT_FALSE(behind.getNetworkingMode());
    EXPECT_EQ(8, behind.getModuleAddress());
    EXPECT_EQ(aErrNone, behind.connectThroughLinkModule(&router)) << "already connected";

    SystemClass sys;
    sys.init(&behind, 0);
    uint32_t serial = 0;
    ASSERT_EQ(aErrNone, sys.getSerialNumber(&serial));
    EXPECT_EQ(kBehind, serial);
    uint32_t build = 0;
    ASSERT_EQ(aErrNone, behind.getBuild(&build));
    EXPECT_EQ(88u, build);

    // Dropping the module behind keeps the router's link.
    ASSERT_EQ(aErrNone, behind.disconnect());
    ASSERT_TRUE(router.isConnected());
    ASSERT_EQ(aErrNone, routerSys.getSerialNumber(&serial));
    EXPECT_EQ(kRouter, serial);
}

}  // namespace
