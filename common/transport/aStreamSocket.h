// The TCP socket stream used by TCP/IP links.
//
// The stream connects on creation and repairs a broken connection by itself: a get or write that
// finds the connection reset (or closed by the peer) reconnects to the same address and port, and
// only a failed reconnect reaches the caller. The socket is non-blocking with Nagle's algorithm off
// and linger 0; a get with nothing to read answers aErrNotReady at once, and the stream's
// wait operation (aStream_WaitReadable) polls the socket so an idle receive loop can sleep.
//
// Received bytes are taken from the socket in blocks and served from a buffer that only the
// reading thread touches. One thread may read while another writes; reconnects are serialised
// inside the stream.
#pragma once

#include <cstdint>

#include "api/aError.h"
#include "transport/aStream.h"

// `address` is an IPv4 address already in network byte order; `port` is in host order.
// Any failure (null out pointer, memory, connect) → aErrResource.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);
