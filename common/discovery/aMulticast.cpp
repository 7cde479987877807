// aMulticast: IPv4 UDP multicast endpoints over BSD sockets.
#include "discovery/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/aDebug.h"

namespace {

constexpr uint16_t kValid = 0x6D63;         // "mc"
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network byte order
constexpr int kReceiveTimeoutMs = 1000;

}  // namespace

struct aMulticast {
    uint16_t check;
    sockaddr_in group;   // destination of sends: group and port
    sockaddr_in bindTo;  // receiver: any address and the port; sender: the interface, port 0
    sockaddr_in iface;   // the interface, port 0
    int socket;
    bool sender;
};

namespace {

bool sResolve(const char* host, const char* port, bool passive, sockaddr_in* out) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || !found) return false;
    const bool ok = found->ai_family == AF_INET && found->ai_addrlen == sizeof(sockaddr_in);
    if (ok) memcpy(out, found->ai_addr, sizeof *out);
    freeaddrinfo(found);
    return ok;
}

bool sValid(const aMulticast* endpoint) {
    return endpoint && endpoint->check == kValid;
}

bool sSetOptions(aMulticast* m) {
    const int s = m->socket;
    const int off = 0;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) return false;
    if (!m->sender &&
        bind(s, reinterpret_cast<const sockaddr*>(&m->bindTo), sizeof m->bindTo) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "multicast: port %u is taken (%s)",
                     ntohs(m->bindTo.sin_port), strerror(errno));
        return false;
    }
    ip_mreq join;
    join.imr_multiaddr = m->group.sin_addr;
    join.imr_interface = m->iface.sin_addr;
    if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) return false;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &m->iface.sin_addr, sizeof m->iface.sin_addr) !=
        0)
        return false;
    const unsigned char ttl = 1;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) return false;
    timeval wait;
    wait.tv_sec = kReceiveTimeoutMs / 1000;
    wait.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) return false;
    const unsigned char loop = 1;
    return setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, int port, bool sender) {
    if (port < 0 || port > 65535) return nullptr;
    if (interfaceAddress == 0) interfaceAddress = kLoopback;
    char groupText[INET_ADDRSTRLEN], ifaceText[INET_ADDRSTRLEN], portText[8];
    in_addr a;
    a.s_addr = group;
    if (!inet_ntop(AF_INET, &a, groupText, sizeof groupText)) return nullptr;
    a.s_addr = interfaceAddress;
    if (!inet_ntop(AF_INET, &a, ifaceText, sizeof ifaceText)) return nullptr;
    snprintf(portText, sizeof portText, "%d", port);

    aMulticast* m = new (std::nothrow) aMulticast;
    if (!m) return nullptr;
    memset(static_cast<void*>(m), 0, sizeof *m);
    m->socket = -1;
    m->sender = sender;
    bool ok = sResolve(groupText, portText, false, &m->group) &&
              (sender ? sResolve(ifaceText, "0", false, &m->bindTo)
                      : sResolve(nullptr, portText, true, &m->bindTo)) &&
              sResolve(ifaceText, "0", false, &m->iface);
    if (ok) {
        m->socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        ok = m->socket >= 0 && sSetOptions(m);
    }
    if (!ok) {
        if (m->socket >= 0) close(m->socket);
        delete m;
        return nullptr;
    }
    m->check = kValid;
    aDebug_Trace(aDEBUG_MULTICAST, "multicast: %s endpoint %s:%d on %s",
                 sender ? "sending" : "receiving", groupText, port, ifaceText);
    return m;
}

int aMulticast_Send(aMulticast* endpoint, const void* data, size_t length) {
    if (!sValid(endpoint)) return -2;
    if (!endpoint->sender) return -3;
    const ssize_t sent =
        sendto(endpoint->socket, data, length, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&endpoint->group), sizeof endpoint->group);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* endpoint, void* buffer, size_t size) {
    if (!sValid(endpoint)) return -2;
    if (endpoint->sender) return -3;
    const ssize_t got = recv(endpoint->socket, buffer, size, 0);
    return got < 0 ? -1 : static_cast<int>(got);
}

int aMulticast_Destroy(aMulticast** endpoint) {
    if (!endpoint || !sValid(*endpoint)) return -2;
    aMulticast* m = *endpoint;
    if (m->socket >= 0) close(m->socket);
    m->check = 0;
    delete m;
    *endpoint = nullptr;
    return 0;
}
