// The guard of every test that sends multicast or broadcast: such a test runs only inside the
// private network namespace that tests/netns/run-in-netns makes, and checks that it is there before
// it sends anything, so that nothing can leave this machine's real interfaces.
//
// HV_REQUIRE_PRIVATE_NETWORK() in a test (or its fixture's SetUp) skips the test when it was not
// started under run-in-netns (HV_IN_NETNS unset), and fails it when the marker is set but the
// network does not look like the one the script makes.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace hvnetns {

// True inside the namespace run-in-netns makes: another network namespace than the first
// process's (and than the one the script started from), whose only IPv4 addresses besides
// loopback are 192.0.2.1 on veth0 and 192.0.2.2 on veth1.
inline bool InPrivateNetwork() {
    struct stat mine {
    }, first{};
    if (stat("/proc/self/ns/net", &mine) != 0) return false;
    if (stat("/proc/1/ns/net", &first) == 0 && first.st_ino == mine.st_ino) return false;
    const char* outer = std::getenv("HV_NETNS_OUTER");
    if (outer && std::to_string(mine.st_ino) == outer) return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool sawVeth0 = false, safe = true;
    for (ifaddrs* e = list; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t a = reinterpret_cast<sockaddr_in*>(e->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(a) >> 24) == 127) continue;
        if (a == inet_addr("192.0.2.1") && std::strcmp(e->ifa_name, "veth0") == 0)
            sawVeth0 = true;
        else if (!(a == inet_addr("192.0.2.2") && std::strcmp(e->ifa_name, "veth1") == 0))
            safe = false;
    }
    freeifaddrs(list);
    return safe && sawVeth0;
}

inline bool StartedInNetns() {
    const char* inside = std::getenv("HV_IN_NETNS");
    return inside && std::strcmp(inside, "1") == 0;
}

}  // namespace hvnetns

#define HV_REQUIRE_PRIVATE_NETWORK()                                        \
    do {                                                                    \
        if (!hvnetns::StartedInNetns())                                     \
            GTEST_SKIP() << "runs only inside tests/netns/run-in-netns";    \
        if (!hvnetns::InPrivateNetwork())                                   \
            GTEST_FAIL() << "the private network namespace is not as made"; \
    } while (0)
