// Link specifier records and their byte form, the enumeration entry's type dispatch, the IPv4
// text conversion and the beacon interface setting. Nothing here touches the network.
#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "discovery/discover.h"
#include "discovery/zBeaconInterface.h"

namespace {

TEST(LinkSpec, CreateZeroesAllButType) {
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(nullptr, spec);
    uint8_t bytes[aLINKSPEC_SIZE];
    aLinkSpec_ToBytes(*spec, bytes);
    EXPECT_EQ(SERIAL, bytes[0]);
    for (size_t i = 1; i < sizeof bytes; ++i) EXPECT_EQ(0, bytes[i]) << "byte " << i;
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&spec));
    EXPECT_EQ(nullptr, spec);
    EXPECT_EQ(aErrParam, aLinkSpec_Destroy(&spec)) << "already destroyed";
    EXPECT_EQ(nullptr, spec);
    EXPECT_EQ(aErrParam, aLinkSpec_Destroy(nullptr));
}

TEST(LinkSpec, CopyKeepsAll128Bytes) {
    linkSpec original;
    uint8_t pattern[aLINKSPEC_SIZE];
    for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(aLinkSpec_FromBytes(pattern, sizeof pattern, &original));
    linkSpec* copy = aLinkSpec_Copy(original);
    ASSERT_NE(nullptr, copy);
    uint8_t back[aLINKSPEC_SIZE];
    aLinkSpec_ToBytes(*copy, back);
    EXPECT_EQ(0, memcmp(pattern, back, sizeof back));
    aLinkSpec_Destroy(&copy);
}

// The byte form puts every field at its fixed offset, integers in host order (little-endian
// here) and the IPv4 address in network order.
TEST(LinkSpec, ByteLayout) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    spec->serial_num = 0x40F5849A;
    spec->module = 4;
    spec->router = 6;
    spec->router_serial_num = 0x01020304;
    spec->model = 0x13;
    spec->ip_address = inet_addr("192.0.2.7");
    spec->ip_port = 8701;
    uint8_t b[aLINKSPEC_SIZE];
    aLinkSpec_ToBytes(*spec, b);
    const uint8_t expected[32] = {2, 0, 0,   0, 0x9A, 0x84, 0xF5, 0x40, 4,    0,    0,
                                  0, 6, 0,   0, 0,    0x04, 0x03, 0x02, 0x01, 0x13, 0,
                                  0, 0, 192, 0, 2,    7,    0xFD, 0x21, 0,    0};
    EXPECT_EQ(0, memcmp(expected, b, sizeof expected));
    for (size_t i = sizeof expected; i < sizeof b; ++i) EXPECT_EQ(0, b[i]) << "byte " << i;

    linkSpec serial;
    memset(static_cast<void*>(&serial), 0, sizeof serial);
    serial.type = SERIAL;
    serial.baud_rate = 115200;
    strcpy(serial.port_name, "/dev/ttyACM0");
    aLinkSpec_ToBytes(serial, b);
    EXPECT_EQ(0, memcmp(b + 28, "/dev/ttyACM0", 13));
    EXPECT_EQ(115200u, b[24] | (b[25] << 8) | (b[26] << 16));
    aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, FromBytesTakesExactly128) {
    uint8_t bytes[aLINKSPEC_SIZE + 1] = {5};
    linkSpec spec;
    spec.type = 99;
    for (size_t size : {size_t{0}, size_t{127}, size_t{129}})
        EXPECT_FALSE(aLinkSpec_FromBytes(bytes, size, &spec)) << size;
    EXPECT_EQ(99u, spec.type) << "untouched on refusal";
    EXPECT_FALSE(aLinkSpec_FromBytes(nullptr, aLINKSPEC_SIZE, &spec));
    EXPECT_TRUE(aLinkSpec_FromBytes(bytes, aLINKSPEC_SIZE, &spec));
    EXPECT_EQ(ANEXUS_USB, spec.type);
}

TEST(LinkType, IsANEXUS) {
    for (linkType t = 0; t <= 9; ++t) EXPECT_EQ(t >= 4 && t <= 7, isANEXUS(t)) << t;
}

bool sMustNotBeCalled(const linkSpec*, bool*, void*) {
    ADD_FAILURE() << "callback for a type without enumeration";
    return true;
}

TEST(Enumerate, TypesWithoutEnumerationReturnZero) {
    for (linkType t : {linkType{0}, linkType{SERIAL}, linkType{8}, linkType{0xFFFFFFFF}})
        EXPECT_EQ(0, aDiscovery_EnumerateModules(t, sMustNotBeCalled, nullptr, 0)) << t;
    EXPECT_EQ(nullptr, aDiscovery_FindModule(SERIAL, 0x12345678, aDISCOVERY_LOOPBACK));
    EXPECT_EQ(nullptr, aDiscovery_FindFirstModule(0, aDISCOVERY_LOOPBACK));
}

TEST(ConvertIPv4Interface, TextAndBufferLimit) {
    char buffer[32];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(0, aDiscovery_ConvertIPv4Interface(inet_addr("192.0.2.1"), buffer, 15));
    for (int i = 0; i < 15; ++i) EXPECT_EQ('\0', buffer[i]) << "zeroed first";
    EXPECT_EQ('x', buffer[15]);
    EXPECT_EQ(15, aDiscovery_ConvertIPv4Interface(inet_addr("255.255.255.255"), buffer, 16));
    EXPECT_STREQ("255.255.255.255", buffer);
    EXPECT_EQ(9, aDiscovery_ConvertIPv4Interface(aDISCOVERY_LOOPBACK, buffer, sizeof buffer));
    EXPECT_STREQ("127.0.0.1", buffer);
    EXPECT_EQ(0, aDiscovery_ConvertIPv4Interface(0, nullptr, 16));
}

// Takes and releases the interface lock on another thread; false when it stays held for 2 s.
bool sLockIsFree() {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread other([&done] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
        done.set_value();
    });
    const bool free = finished.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (free)
        other.join();
    else
        other.detach();
    return free;
}

TEST(BeaconInterface, AcceptedValuesAndTheLock) {
    for (const char* bad : {"10.0.0.300", "eth0", "1.2.3", " 1.2.3.4", "**"}) {
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    EXPECT_TRUE(sLockIsFree()) << "a refused value does not lock";

    const char* before = zBeaconInterface_get();
    const std::string original = before ? before : "";
    for (const char* good : {"*", "", "192.0.2.1"}) {
        ASSERT_TRUE(zBeaconInterface_setAndLock(good)) << good;
        EXPECT_STREQ(good, zBeaconInterface_get());
        zBeaconInterface_unlock();
    }
    ASSERT_TRUE(zBeaconInterface_setAndLock(original.c_str()));
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("198.51.100.3"));
    EXPECT_STREQ("198.51.100.3", zBeaconInterface_get());
    EXPECT_EQ(original, zBeaconInterface_getBackup());
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(original, zBeaconInterface_get());
    EXPECT_TRUE(sLockIsFree());
}

TEST(BeaconInterface, CzmqLeavesTheProgramsSignalsAlone) {
    aCZMQ_Prepare();
    zsock_t* probe = zsock_new(ZMQ_PAIR);  // forces CZMQ's own initialisation
    zsock_destroy(&probe);
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &current));
    EXPECT_EQ(SIG_DFL, current.sa_handler);
    ASSERT_EQ(0, sigaction(SIGTERM, nullptr, &current));
    EXPECT_EQ(SIG_DFL, current.sa_handler);
}

}  // namespace
