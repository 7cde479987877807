// tcpipProbe: the UDP multicast probe for modules with their own TCP/IP interface.
#include "discovery/tcpipProbe.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "api/aProtocol.h"
#include "engine/aDebug.h"
#include "engine/aTime.h"

namespace {

// An answer must at least reach the serial number to describe a module.
constexpr size_t kAnswerMinimum = aPROTO_ANSWER_SERIAL_AT + 4;
// Modules answer at once; datagrams that keep arriving for longer (a stray sender on the answer
// port) must not keep the search going for ever.
constexpr uint64_t kCollectLimitMs = 10000;

void sSetReceiveWait(int s, uint64_t milliseconds) {
    timeval wait;
    wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
    wait.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

// The answer socket: bound to (address, answer port), 2 s receive time-out; -1 on failure.
int sTCPIPSetupListener(uint32_t address) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) return -1;
    const int on = 1;
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(aPROTO_ANSWER_PORT);
    timeval wait;
    wait.tv_sec = aPROTO_ANSWER_WAIT_MS / 1000;
    wait.tv_usec = (aPROTO_ANSWER_WAIT_MS % 1000) * 1000;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends one probe out through the interface with that address (0: the default one).
bool sTCPIPMultiCast(uint32_t address) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) return false;
    const int on = 1;
    in_addr iface;
    iface.s_addr = address;
    sockaddr_in group;
    memset(&group, 0, sizeof group);
    group.sin_family = AF_INET;
    group.sin_port = htons(aPROTO_PROBE_PORT);
    inet_pton(AF_INET, aPROTO_PROBE_GROUP_TEXT, &group.sin_addr);
    uint8_t probe[aPROTO_PROBE_SIZE] = {aPROTO_PROBE_MARK};
    bool sent =
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0 &&
        sendto(s, probe, sizeof probe, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&group),
               sizeof group) == static_cast<ssize_t>(sizeof probe);
    close(s);
    if (aDebug_On(aDEBUG_DISCOVERY)) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &iface, text, sizeof text);
        aDebug_Trace(aDEBUG_DISCOVERY, "discovery: probe through %s %s", text,
                     sent ? "sent" : "failed");
    }
    return sent;
}

// One probe through every IPv4 address of the host but 0 and 127.0.0.1; the number sent.
int sTCPIPProbeAll() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return sTCPIPMultiCast(INADDR_ANY) ? 1 : 0;
    int sent = 0;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in address;
        memcpy(&address, entry->ifa_addr, sizeof address);
        const uint32_t a = address.sin_addr.s_addr;
        if (a == 0 || a == aDISCOVERY_LOOPBACK) continue;
        if (sTCPIPMultiCast(a)) ++sent;
    }
    freeifaddrs(list);
    return sent;
}

uint16_t sLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t sLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* answer, size_t length, uint32_t source) {
    spec->module = answer[aPROTO_ANSWER_ADDRESS_AT];
    spec->router = answer[aPROTO_ANSWER_ADDRESS_AT];
    spec->ip_port = sLE16(answer + aPROTO_ANSWER_PORT_AT);
    spec->serial_num = sLE32(answer + aPROTO_ANSWER_SERIAL_AT);
    spec->router_serial_num = spec->serial_num;
    spec->model =
        length > aPROTO_ANSWER_MODEL_AT ? answer[aPROTO_ANSWER_MODEL_AT] : aPROTO_ANSWER_NO_MODEL;
    spec->ip_address = source;
}

}  // namespace

uint8_t aDiscovery_ProbeTCPIPModules(discoveryCallback callback, void* ref,
                                     uint32_t networkInterface) {
    const uint32_t address = networkInterface == aDISCOVERY_LOOPBACK ? 0 : networkInterface;
    const int listener = sTCPIPSetupListener(address);
    const int probes = address ? (sTCPIPMultiCast(address) ? 1 : 0) : sTCPIPProbeAll();
    uint8_t count = 0;
    if (probes > 0 && listener >= 0) {
        const uint64_t deadline = aTime_GetMSTicks() + kCollectLimitMs;
        bool going = true;
        while (going) {
            const uint64_t now = aTime_GetMSTicks();
            if (now >= deadline) break;
            if (deadline - now < aPROTO_ANSWER_WAIT_MS) sSetReceiveWait(listener, deadline - now);
            uint8_t answer[aPROTO_ANSWER_SIZE] = {0};
            sockaddr_in from;
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(listener, answer, sizeof answer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) break;
            // Too short to carry a serial number: not an answer from a module.
            if (static_cast<size_t>(got) < kAnswerMinimum || from.sin_family != AF_INET) continue;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec) break;
            sCopyToTCPIPLinkspec(spec, answer, static_cast<size_t>(got), from.sin_addr.s_addr);
            aDebug_Trace(aDEBUG_DISCOVERY, "discovery: TCP/IP module %08X port %u",
                         spec->serial_num, spec->ip_port);
            bool found = false;
            going = callback(spec, &found, ref);
            if (found) count = static_cast<uint8_t>(count + 1);
            aLinkSpec_Destroy(&spec);
        }
    }
    if (listener >= 0) close(listener);
    return count;
}
