// aMulticast: one IPv4 UDP multicast endpoint, either a sender or a receiver.
//
// Link servers on this computer and the local link-server search talk through pairs of these on
// group 224.0.0.7 over the loopback interface. A receiver binds its port with address reuse off,
// so creating a receiver on a port another endpoint holds fails: that is how a searcher tells a
// busy index from a free one.
//
// Ownership: the creator owns the endpoint and frees it with aMulticast_Destroy. One thread at a
// time may use an endpoint.
#pragma once

#include <cstddef>
#include <cstdint>

struct aMulticast;

// `interfaceAddress` and `group` are IPv4 addresses in network byte order; an interface of 0 or
// 127.0.0.1 means the loopback interface. TTL 1, loopback delivery on, receive time-out 1 s.
// Null when anything fails.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, int port, bool sender);
// Bytes sent; -1 on a socket error, -2 for a null endpoint, -3 for a receiving endpoint.
int aMulticast_Send(aMulticast* endpoint, const void* data, size_t length);
// Waits up to 1 s for one datagram; its length (truncated to `size`), -1 on error or time-out,
// -2 for a null endpoint, -3 for a sending endpoint.
int aMulticast_Receive(aMulticast* endpoint, void* buffer, size_t size);
// 0 after closing and freeing *endpoint and nulling it; -2 when it was already null.
int aMulticast_Destroy(aMulticast** endpoint);
