// linkSpec: the fixed 128-byte record that says how to reach a module, and its link type.
//
// Discovery produces link specifiers, the link facade connects from one, device lists copy them and
// link servers announce themselves with one, so the byte layout is fixed: integers are 32-bit in
// the machine's byte order except `ip_address`, which is held in network byte order. The byte form
// is read and written field by field (aLinkSpec_ToBytes / aLinkSpec_FromBytes), never by casting
// a received buffer.
//
// Ownership: aLinkSpec_Create and aLinkSpec_Copy hand out heap records that belong to the caller,
// who frees them with aLinkSpec_Destroy. The functions keep no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"

typedef uint32_t linkType;

enum : linkType {
    USB = 1,            // module on a USB port of this computer
    TCPIP = 2,          // module with its own TCP/IP interface
    SERIAL = 3,         // module on a serial port
    ANEXUS = 4,         // module reached through a link server, kind not stated
    ANEXUS_USB = 5,     // link server sharing a USB link
    ANEXUS_TCPIP = 6,   // link server sharing a TCP/IP link
    ANEXUS_SERIAL = 7,  // link server sharing a serial link
};

// True for the network-shared link types 4 to 7.
inline bool isANEXUS(linkType type) {
    return type >= ANEXUS && type <= ANEXUS_SERIAL;
}

constexpr size_t aLINKSPEC_SIZE = 128;
constexpr size_t aLINKSPEC_PORTNAME_SIZE = 100;

struct linkSpec {
    linkType type;               // offset 0
    uint32_t serial_num;         // 4: module serial number
    uint32_t module;             // 8: module address on its bus (0 until learnt)
    uint32_t router;             // 12: address of the routing module (0 until learnt)
    uint32_t router_serial_num;  // 16: serial number of that router (0 until learnt)
    uint32_t model;              // 20: model number (8-bit value)
    union {                      // 24, by type:
        uint32_t usb_id;         //   USB: the serial number again
        uint32_t ip_address;     //   TCPIP and 4-7: IPv4 address, network byte order
        uint32_t baud_rate;      //   SERIAL: baud rate
    };
    union {                                       // 28, by type:
        uint32_t ip_port;                         //   TCPIP and 4-7: TCP port in the low 16 bits
        char port_name[aLINKSPEC_PORTNAME_SIZE];  //   SERIAL: port name, NUL-terminated
    };
};

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "a link specifier is exactly 128 bytes");
static_assert(offsetof(linkSpec, serial_num) == 4 && offsetof(linkSpec, module) == 8 &&
                  offsetof(linkSpec, router) == 12 && offsetof(linkSpec, router_serial_num) == 16 &&
                  offsetof(linkSpec, model) == 20 && offsetof(linkSpec, usb_id) == 24 &&
                  offsetof(linkSpec, ip_address) == 24 && offsetof(linkSpec, ip_port) == 28 &&
                  offsetof(linkSpec, port_name) == 28,
              "link specifier field offsets");

// A new record: all bytes 0 except `type`; null when memory runs out.
linkSpec* aLinkSpec_Create(linkType type);
// A new heap copy of all 128 bytes; null when memory runs out.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees *spec and nulls it; aErrParam when spec or *spec is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

// The 128-byte wire form of `spec` into `out` (which holds at least aLINKSPEC_SIZE bytes).
void aLinkSpec_ToBytes(const linkSpec& spec, uint8_t* out);
// Reads a wire form; false (and `out` untouched) unless `size` is exactly aLINKSPEC_SIZE.
bool aLinkSpec_FromBytes(const uint8_t* bytes, size_t size, linkSpec* out);
