// aNexusDiscovery: the numbers link servers and their searchers share.
//
// A link server answers searches in one of two ways, and the searcher in discover.h asks the same
// way: on this computer by a request/answer exchange over multicast on one of 50 port pairs, or
// on a network interface by CZMQ beacons. Constants only.
#pragma once

#include <cstddef>
#include <cstdint>

// Local exchange: group 224.0.0.7 on the loopback interface. The server with index i (0 to 49)
// holds the request port 9850 + i and answers to port 9950 + i with its 128-byte specifier.
constexpr const char* aNEXUS_MULTICAST_GROUP_TEXT = "224.0.0.7";
constexpr int aNEXUS_REQUEST_PORT_BASE = 9850;
constexpr int aNEXUS_ANSWER_PORT_BASE = 9950;
constexpr int aNEXUS_PORT_PAIRS = 50;
// The request: this value in host byte order, 4 bytes.
constexpr uint32_t aNEXUS_REQUEST_MAGIC = 0xABCDDCBA;

// Beacons: UDP port 8585. Searchers publish the 20 characters below (no terminator) every
// 100 ms; a server that hears them publishes its 128-byte specifier for a while.
constexpr int aNEXUS_BEACON_PORT = 8585;
constexpr char aNEXUS_BEACON_CONTENT[] = "Halvorine2-Discovery";
constexpr size_t aNEXUS_BEACON_CONTENT_SIZE = sizeof aNEXUS_BEACON_CONTENT - 1;
constexpr int aNEXUS_BEACON_INTERVAL_MS = 100;

// The most IPv4 interfaces looked at when choosing how to search or announce.
constexpr int aNEXUS_MAX_INTERFACES = 50;

static_assert(aNEXUS_BEACON_CONTENT_SIZE == 20, "the discovery beacon is 20 characters");
