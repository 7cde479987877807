// tcpipProbe: finding modules that have their own TCP/IP interface.
//
// One 16-byte UDP probe goes to the modules' multicast group through the named interface (or
// through every non-loopback IPv4 address of the host), and the modules' unicast answers become
// TCPIP link specifiers for the callback. Runs on the caller's thread; keeps no state.
#pragma once

#include <cstdint>

#include "discovery/discover.h"

// The TCPIP branch of aDiscovery_EnumerateModules: the number of answers the callback marked
// found. `networkInterface` 0 or 127.0.0.1 probes through every interface. Waits 2 s after the
// last answer unless the callback stops the search; collects for at most 10 s in all.
uint8_t aDiscovery_ProbeTCPIPModules(discoveryCallback callback, void* ref,
                                     uint32_t networkInterface);
