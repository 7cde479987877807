// discover: how a module is reached (link types and the link specifier record).
//
// These are plain value types: a linkSpec is copied as raw bytes, kept in device lists and sent
// over the network unchanged, so its layout is fixed at 128 bytes. Any thread may use them.
#pragma once

#include <cstddef>
#include <cstdint>

enum linkType : uint32_t {
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    ANEXUS = 4,
    ANEXUS_USB = 5,
    ANEXUS_TCPIP = 6,
    ANEXUS_SERIAL = 7,
};

inline bool isANEXUS(uint32_t type) {
    return type >= ANEXUS && type <= ANEXUS_SERIAL;
}

// Integer fields are in host byte order except ip_address, which is in network byte order.
struct linkSpec {
    uint32_t type;  // a linkType value
    uint32_t serial_num;
    uint32_t module;
    uint32_t router;
    uint32_t router_serial_num;
    uint32_t model;
    union {
        uint32_t usb_id;      // USB: the serial number again
        uint32_t ip_address;  // TCPIP and network-shared types
        uint32_t baud_rate;   // SERIAL
    };
    union {
        uint32_t ip_port;     // TCPIP and network-shared types: 16-bit port in the low half
        char port_name[100];  // SERIAL: NUL-terminated port name
    };
};

static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
static_assert(offsetof(linkSpec, usb_id) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, port_name) == 28, "linkSpec layout");
