// linkSpec: heap records and the 128-byte byte form of link specifiers.
#include "discovery/linkSpec.h"

#include <cstring>
#include <new>

namespace {

// Integers of the byte form are in the machine's byte order, so a plain byte copy of each field is
// the conversion; `ip_address` is already in network order and is carried the same way.
void sPut32(uint8_t* out, size_t at, uint32_t value) {
    memcpy(out + at, &value, sizeof value);
}

uint32_t sGet32(const uint8_t* in, size_t at) {
    uint32_t value;
    memcpy(&value, in + at, sizeof value);
    return value;
}

constexpr size_t kTailAt = 28;  // ip_port, overlaid by port_name up to the end

}  // namespace

linkSpec* aLinkSpec_Create(linkType type) {
    linkSpec* spec = new (std::nothrow) linkSpec;
    if (!spec) return nullptr;
    memset(static_cast<void*>(spec), 0, sizeof *spec);
    spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
    linkSpec* copy = new (std::nothrow) linkSpec;
    if (!copy) return nullptr;
    memcpy(static_cast<void*>(copy), &spec, sizeof spec);
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    delete *spec;
    *spec = nullptr;
    return aErrNone;
}

void aLinkSpec_ToBytes(const linkSpec& spec, uint8_t* out) {
    sPut32(out, 0, spec.type);
    sPut32(out, 4, spec.serial_num);
    sPut32(out, 8, spec.module);
    sPut32(out, 12, spec.router);
    sPut32(out, 16, spec.router_serial_num);
    sPut32(out, 20, spec.model);
    sPut32(out, 24, spec.usb_id);
    memcpy(out + kTailAt, spec.port_name, aLINKSPEC_PORTNAME_SIZE);
}

bool aLinkSpec_FromBytes(const uint8_t* bytes, size_t size, linkSpec* out) {
    if (!bytes || !out || size != aLINKSPEC_SIZE) return false;
    out->type = sGet32(bytes, 0);
    out->serial_num = sGet32(bytes, 4);
    out->module = sGet32(bytes, 8);
    out->router = sGet32(bytes, 12);
    out->router_serial_num = sGet32(bytes, 16);
    out->model = sGet32(bytes, 20);
    out->usb_id = sGet32(bytes, 24);
    memcpy(out->port_name, bytes + kTailAt, aLINKSPEC_PORTNAME_SIZE);
    return true;
}
