// aNexusDiscovery: finding link servers, by the local multicast exchange or by CZMQ beacons, and
// the host's IPv4 interface list.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "discovery/aMulticast.h"
#include "discovery/aNexusDiscovery.h"
#include "discovery/discover.h"
#include "discovery/zBeaconInterface.h"
#include "engine/aDebug.h"

namespace {

constexpr int kBeaconReceiveMs = 100;
constexpr int kBeaconRounds = 22;

// The specifiers already reported during one search.
class SeenList {
  public:
    bool isNew(const linkSpec& spec) const {
        for (const linkSpec& seen : seen_)
            if (seen.serial_num == spec.serial_num && seen.ip_address == spec.ip_address &&
                seen.ip_port == spec.ip_port && seen.type == spec.type)
                return false;
        return true;
    }
    void add(const linkSpec& spec) { seen_.push_back(spec); }

  private:
    std::vector<linkSpec> seen_;
};

uint8_t _findLinkSpecs_multicast(bool localOnly, discoveryCallback callback, void* ref) {
    in_addr group;
    inet_pton(AF_INET, aNEXUS_MULTICAST_GROUP_TEXT, &group);
    SeenList seen;
    uint8_t count = 0;
    bool going = true;
    for (int i = 0; i < aNEXUS_PORT_PAIRS && going; ++i) {
        aMulticast* probe = aMulticast_Create(aDISCOVERY_LOOPBACK, group.s_addr,
                                              aNEXUS_REQUEST_PORT_BASE + i, false);
        if (probe) {
            // Free request port: no server holds index i.
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticast* answers = aMulticast_Create(aDISCOVERY_LOOPBACK, group.s_addr,
                                                aNEXUS_ANSWER_PORT_BASE + i, false);
        aMulticast* request = aMulticast_Create(aDISCOVERY_LOOPBACK, group.s_addr,
                                                aNEXUS_REQUEST_PORT_BASE + i, true);
        if (answers && request) {
            const uint32_t magic = aNEXUS_REQUEST_MAGIC;
            // One byte more than a specifier, so that a longer datagram shows as too long.
            uint8_t answer[aLINKSPEC_SIZE + 1];
            linkSpec spec;
            if (aMulticast_Send(request, &magic, sizeof magic) == sizeof magic) {
                const int got = aMulticast_Receive(answers, answer, sizeof answer);
                if (got > 0 && aLinkSpec_FromBytes(answer, static_cast<size_t>(got), &spec)) {
                    aDebug_Trace(aDEBUG_DISCOVERY, "discovery: link server %08X at index %d",
                                 spec.serial_num, i);
                    if (seen.isNew(spec) &&
                        (!localOnly || spec.ip_address == aDISCOVERY_LOOPBACK)) {
                        seen.add(spec);
                        bool found = false;
                        going = callback(&spec, &found, ref);
                        if (found) count = static_cast<uint8_t>(count + 1);
                    }
                }
            }
        }
        aMulticast_Destroy(&answers);
        aMulticast_Destroy(&request);
    }
    return count;
}

uint8_t _findLinkSpecs_beacon(bool localOnly, discoveryCallback callback, void* ref) {
    aCZMQ_Prepare();
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon) return 0;
    zsock_send(beacon, "si", "CONFIGURE", aNEXUS_BEACON_PORT);
    char* hostText = zstr_recv(beacon);
    // An empty host text: no interface to beacon on. The host is "*" when beaconing on every
    // interface; then only loopback specifiers count as local.
    const bool configured = hostText && hostText[0];
    in_addr host;
    if (!configured || inet_pton(AF_INET, hostText, &host) != 1) host.s_addr = aDISCOVERY_LOOPBACK;
    aDebug_Trace(aDEBUG_DISCOVERY, "discovery: beacon host \"%s\"", hostText ? hostText : "");
    zstr_free(&hostText);
    uint8_t count = 0;
    if (configured) {
        zsock_send(beacon, "sbi", "PUBLISH", aNEXUS_BEACON_CONTENT, aNEXUS_BEACON_CONTENT_SIZE,
                   aNEXUS_BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
        SeenList seen;
        bool going = true;
        for (int round = 0; round < kBeaconRounds && going; ++round) {
            char* sender = zstr_recv(beacon);
            if (!sender) continue;
            zstr_free(&sender);
            zframe_t* content = zframe_recv(beacon);
            if (!content) continue;
            linkSpec spec;
            const bool isSpec =
                aLinkSpec_FromBytes(zframe_data(content), zframe_size(content), &spec);
            zframe_destroy(&content);
            if (!isSpec || !seen.isNew(spec)) continue;
            if (localOnly && spec.ip_address != aDISCOVERY_LOOPBACK &&
                spec.ip_address != host.s_addr)
                continue;
            seen.add(spec);
            aDebug_Trace(aDEBUG_DISCOVERY, "discovery: link server %08X by beacon",
                         spec.serial_num);
            bool found = false;
            going = callback(&spec, &found, ref);
            if (found) count = static_cast<uint8_t>(count + 1);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zactor_destroy(&beacon);
    return count;
}

uint8_t _findLinkSpecs_beaconHelper(const char* interfaceText, bool localOnly,
                                    discoveryCallback callback, void* ref) {
    if (!zBeaconInterface_backupSetAndLock(interfaceText)) return 0;
    const uint8_t count = _findLinkSpecs_beacon(localOnly, callback, ref);
    zBeaconInterface_restoreAndUnlock();
    return count;
}

}  // namespace

uint8_t aDiscovery_Enumerate_aNexusModules(discoveryCallback callback, void* ref,
                                           uint32_t networkInterface) {
    if (!callback) return 0;
    const bool local = networkInterface == 0 || networkInterface == aDISCOVERY_LOOPBACK;
    uint32_t interfaces[aNEXUS_MAX_INTERFACES];
    const int listed = aDiscovery_GetIPv4Interfaces(interfaces, aNEXUS_MAX_INTERFACES);
    if (local || listed == 0) return _findLinkSpecs_multicast(true, callback, ref);
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0) return 0;
    return _findLinkSpecs_beaconHelper(text, false, callback, ref);
}

int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity) {
    if (!addresses || capacity <= 0) return 0;
    aCZMQ_Prepare();
    ziflist_t* list = ziflist_new();
    if (!list) return 0;
    int stored = 0;
    for (const char* name = ziflist_first(list); name && stored < capacity;
         name = ziflist_next(list)) {
        in_addr parsed;
        const char* address = ziflist_address(list);
        if (address && inet_pton(AF_INET, address, &parsed) == 1)
            addresses[stored++] = parsed.s_addr;
    }
    ziflist_destroy(&list);
    return stored;
}

int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    memset(buffer, 0, static_cast<size_t>(size));
    if (size < INET_ADDRSTRLEN) return 0;
    in_addr a;
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(size))) return 0;
    return static_cast<int>(strlen(buffer));
}
