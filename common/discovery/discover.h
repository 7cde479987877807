// discover: finding modules over USB, TCP/IP and link servers.
//
// aDiscovery_EnumerateModules hands every module it finds, as a link specifier, to the caller's
// callback; the two finders build on it. Enumeration keeps no state between calls, runs entirely
// on the caller's thread and calls back on it; any thread may enumerate. The specifier passed to
// a callback belongs to the enumerator and is destroyed when the callback returns.
//
// Network searches (TCPIP and the network-shared types 4-7) send multicast or broadcast through
// every non-loopback IPv4 interface unless an interface is named.
#pragma once

#include <cstdint>

#include "discovery/linkSpec.h"

// Called once per module found. `*found` is false on entry; set it to have the module counted.
// Return false to stop the enumeration after this specifier.
typedef bool (*discoveryCallback)(const linkSpec* spec, bool* found, void* ref);

// 127.0.0.1 as a network-order value: "every interface" (as is 0), and for link servers the
// local search.
constexpr uint32_t aDISCOVERY_LOOPBACK = 0x0100007F;

// The number of specifiers the callback marked found (8-bit count). USB: the attached modules;
// TCPIP: the UDP probe; 4-7: link servers; any other type: 0 without calling back.
// `networkInterface` is an IPv4 interface address in network byte order (USB ignores it).
uint8_t aDiscovery_EnumerateModules(linkType type, discoveryCallback callback, void* ref,
                                    uint32_t networkInterface);

// A new specifier of the first module with that serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// A new specifier of the first module whose serial number is not 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Link servers: local multicast search for 0 and 127.0.0.1 (or when the host has no IPv4
// interface), else a beacon search on that interface.
uint8_t aDiscovery_Enumerate_aNexusModules(discoveryCallback callback, void* ref,
                                           uint32_t networkInterface);

// The host's IPv4 interface addresses (network byte order) in list order, at most `capacity`;
// the number stored, 0 for a null array.
int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity);

// The dotted text of `address` (network byte order) into `buffer`, which is zeroed first; the
// text's length, or 0 when `size` is below 16 or the conversion fails.
int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int size);
