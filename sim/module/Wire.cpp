#include "Wire.h"

#include <cstdio>

namespace modsim {

Packet::Packet(uint8_t addr, std::initializer_list<uint8_t> bytes) : address(addr) {
    for (uint8_t b : bytes) push(b);
}

Packet::Packet(uint8_t addr, const uint8_t* bytes, size_t count) : address(addr) {
    for (size_t i = 0; i < count; ++i) push(bytes[i]);
}

bool Packet::push(uint8_t byte) {
    if (size >= kMaxData) return false;
    data[size++] = byte;
    return true;
}

std::vector<uint8_t> Packet::bytes() const {
    std::vector<uint8_t> out;
    out.reserve(size + 2u);
    out.push_back(address);
    out.push_back(size);
    out.insert(out.end(), data, data + size);
    return out;
}

std::string Packet::hex() const {
    std::string s;
    char b[4];
    for (uint8_t v : bytes()) {
        std::snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

uint16_t get16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool PacketReader::feed(uint8_t byte, uint64_t nowMs, Packet& out) {
    if (have_ > 0 && nowMs - lastMs_ > resetGapMs_) have_ = 0;
    lastMs_ = nowMs;
    if (have_ == 0) {
        cur_ = Packet();
        cur_.address = byte;
        have_ = 1;
        return false;
    }
    if (have_ == 1) {
        if (byte > kMaxData) {  // not a length: treat the byte as a new start
            cur_ = Packet();
            cur_.address = byte;
            return false;
        }
        cur_.size = byte;
        have_ = 2;
    } else {
        cur_.data[have_ - 2] = byte;
        ++have_;
    }
    if (have_ == size_t(cur_.size) + 2) {
        out = cur_;
        have_ = 0;
        return true;
    }
    return false;
}

namespace {
struct CrcTable {
    uint8_t t[256];
    CrcTable() {
        for (int i = 0; i < 256; ++i) {
            uint8_t c = uint8_t(i);
            for (int k = 0; k < 8; ++k) c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
            t[i] = c;
        }
    }
};
const CrcTable kCrc;
}  // namespace

uint8_t crc8(const uint8_t* bytes, size_t count) {
    uint8_t c = 0;
    for (size_t i = 0; i < count; ++i) c = kCrc.t[c ^ bytes[i]];
    return c;
}

std::vector<uint8_t> cobsEncode(const uint8_t* bytes, size_t count) {
    std::vector<uint8_t> out;
    out.reserve(count + count / 254 + 2);
    size_t codePos = 0;
    out.push_back(0);
    uint8_t code = 1;
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == 0) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(bytes[i]);
        if (++code == 0xFF && i + 1 < count) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[codePos] = code;
    return out;
}

std::vector<uint8_t> cobsDecode(const uint8_t* bytes, size_t count, bool& ok) {
    std::vector<uint8_t> out;
    ok = false;
    size_t i = 0;
    while (i < count) {
        uint8_t code = bytes[i];
        if (code == 0 || i + code > count) return {};
        out.insert(out.end(), bytes + i + 1, bytes + i + code);
        i += code;
        if (code != 0xFF && i < count) out.push_back(0);
    }
    ok = true;
    return out;
}

std::vector<uint8_t> frameEncode(const Packet& p) {
    std::vector<uint8_t> payload = p.bytes();
    payload.push_back(crc8(payload.data(), payload.size()));
    std::vector<uint8_t> out = cobsEncode(payload.data(), payload.size());
    out.push_back(0);
    return out;
}

FrameReader::Result FrameReader::feed(uint8_t byte, Packet& out) {
    if (byte != 0) {
        if (buf_.size() < 40)
            buf_.push_back(byte);
        else
            overlong_ = true;
        return None;
    }
    if (buf_.empty()) return None;
    bool ok = false;
    std::vector<uint8_t> dec = cobsDecode(buf_.data(), buf_.size(), ok);
    bool overlong = overlong_;
    buf_.clear();
    overlong_ = false;
    if (!ok || overlong || dec.size() < 3 || dec[1] > kMaxData ||
        dec.size() != size_t(dec[1]) + 3 || crc8(dec.data(), dec.size() - 1) != dec.back())
        return Bad;
    out = Packet(dec[0], dec.data() + 2, dec[1]);
    return Good;
}

}  // namespace modsim
